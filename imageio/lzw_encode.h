// TIFF LZW encoding of one strip, giving exactly the bytes libtiff's encoder
// gives: MSB-first codes of 9 to 12 bits widened one code early, a clear
// code at the start, when the table holds 4094 entries, and when the
// compression ratio measured every 10000 input bytes stops improving, and an
// end code. libtiff's hash table only finds entries; it does not change the
// output, so a smaller and faster one gives the same codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace quovix {

// How often the table was dropped (tests check that both reasons occur).
struct LzwStats {
    uint32_t fullTableClears = 0;
    uint32_t ratioClears = 0;
};

// Holds the dictionary (256 KiB, left empty after each strip), so keep one
// per thread.
class LzwEncoder {
public:
    LzwEncoder();
    // Appends the LZW encoding of `size` bytes (one whole strip) to `out`.
    void encode(const uint8_t* data, size_t size, std::vector<uint8_t>& out, LzwStats* stats = nullptr);

private:
    std::vector<uint32_t> table_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t bufferSize_ = 0;
    std::vector<uint32_t> used_;  // slots filled since the last clear
};

// The same with an encoder of the calling thread.
void encodeLzwStrip(const uint8_t* data, size_t size, std::vector<uint8_t>& out, LzwStats* stats = nullptr);

// Horizontal differencing as libtiff's predictor applies it before encoding,
// in place, on `rows` rows of `rowBytes` bytes with `samples` samples per
// pixel of 8 or 16 bits (16-bit samples in the machine's byte order).
void differenceRows(uint8_t* rows, size_t rowCount, size_t rowBytes, int samples, int bits);

} // namespace quovix
