// TIFF LZW decoding of one whole strip of known size.
//
// Every dictionary string is a run of bytes already decoded (the string of
// the previous code plus the next byte), so an entry is an offset and a
// length into the output, and a code is decoded by one short copy instead of
// a walk down a chain of entries. The 256 single-byte strings sit in front of
// the output, so literals take the same path as every other code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quovix {

class LzwDecoder {
public:
    // Bytes that must be readable after the codes passed to decode.
    static constexpr size_t kPadding = 8;

    // Decodes the codes in `data` (`size` bytes, then kPadding readable bytes
    // of any value) into `outSize` bytes, which stay valid until the next
    // call. Codes beyond those bytes are ignored, as libtiff ignores them.
    // Returns nullptr when the codes do not start with a clear code, use a
    // code not yet defined, or end (or run out) before `outSize` bytes: the
    // caller falls back to the library's decoder, which reports damage its
    // own way.
    uint8_t* decode(const uint8_t* data, size_t size, size_t outSize);

private:
    // The tables made and the output buffer sized; false for sizes the
    // 32-bit offsets cannot hold.
    bool prepare(size_t size, size_t outSize);

    std::vector<uint32_t> start_;   // offset of each code's string in buffer_
    std::vector<uint32_t> length_;  // length of each code's string
    std::vector<uint8_t> buffer_;   // the 256 literals, then the output
};

// Undoes horizontal differencing on `rowCount` rows of `rowBytes` bytes, with
// `samples` samples per pixel of 8 or 16 bits (16-bit in the machine's order).
void accumulateRows(uint8_t* rows, size_t rowCount, size_t rowBytes, int samples, int bits);

} // namespace quovix
