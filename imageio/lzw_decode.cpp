#include "imageio/lzw_decode.h"

#include <bit>
#include <cstring>

namespace quovix {

namespace {

constexpr int kMinBits = 9;
constexpr int kMaxBits = 12;
constexpr uint32_t kClear = 256;
constexpr uint32_t kEndOfInformation = 257;
constexpr uint32_t kFirstCode = 258;
constexpr uint32_t kCodes = 1u << kMaxBits;
constexpr uint32_t kLiterals = 256;

// Whole-word copies may run up to 7 bytes past the last string.
constexpr size_t kSlack = 8;

// Codes read 64 bits at a time from the padded input; the bit count catches a
// read past the end of the data.
struct CodeReader {
    const uint8_t* data;
    uint64_t totalBits;
    uint64_t bitPos = 0;

    bool next(int bits, uint32_t& code)
    {
        if (bitPos + static_cast<uint64_t>(bits) > totalBits)
            return false;
        uint64_t word;
        std::memcpy(&word, data + (bitPos >> 3), 8);
        if constexpr (std::endian::native == std::endian::little)
            word = __builtin_bswap64(word);
        code = static_cast<uint32_t>((word << (bitPos & 7)) >> (64 - bits));
        bitPos += static_cast<uint64_t>(bits);
        return true;
    }
};

// A string already in the output copied to `pos` in whole words; bytes copied
// past the string are overwritten by later codes or fall in the slack.
inline void copyWords(uint8_t* buf, uint32_t from, size_t pos, uint32_t len)
{
    uint32_t k = 0;
    do {
        uint64_t v;
        std::memcpy(&v, buf + from + k, 8);
        std::memcpy(buf + pos + k, &v, 8);
        k += 8;
    } while (k < len);
}

} // namespace

bool LzwDecoder::prepare(size_t size, size_t outSize)
{
    if (outSize > UINT32_MAX - kLiterals - kSlack || size > SIZE_MAX / 8)
        return false;
    if (start_.empty()) {
        start_.resize(kCodes);
        length_.resize(kCodes);
        for (uint32_t c = 0; c < kLiterals; ++c) {
            start_[c] = c;
            length_[c] = 1;
        }
    }
    if (buffer_.size() < kLiterals + outSize + kSlack) {
        buffer_.resize(kLiterals + outSize + kSlack);
        for (uint32_t c = 0; c < kLiterals; ++c)
            buffer_[c] = static_cast<uint8_t>(c);
    }
    return true;
}

uint8_t* LzwDecoder::decode(const uint8_t* data, size_t size, size_t outSize)
{
    if (!prepare(size, outSize))
        return nullptr;
    uint8_t* const buf = buffer_.data();
    uint32_t* const start = start_.data();
    uint32_t* const length = length_.data();
    const size_t end = kLiterals + outSize;
    CodeReader reader{data, static_cast<uint64_t>(size) * 8};

    int bits = kMinBits;
    uint32_t freeCode = kFirstCode;
    size_t pos = kLiterals;
    uint32_t prevStart = 0, prevLength = 0;  // the previous code's string
    // Strips start with a clear code; libtiff judges anything else.
    uint32_t first;
    if (!reader.next(bits, first) || first != kClear)
        return nullptr;
    bool cleared = true;

    while (pos < end) {
        uint32_t code;
        if (!reader.next(bits, code))
            return nullptr;
        if (code == kClear || cleared) {
            // The first code after a clear starts the table afresh and adds
            // no entry.
            if (code == kClear) {
                bits = kMinBits;
                freeCode = kFirstCode;
                if (!reader.next(bits, code))
                    return nullptr;
            }
            if (code >= kLiterals)
                return nullptr;  // the end code, too early, or undefined
            cleared = false;
            buf[pos] = static_cast<uint8_t>(code);
            prevStart = static_cast<uint32_t>(pos);
            prevLength = 1;
            ++pos;
            continue;
        }
        uint32_t len;
        if (code < freeCode) {
            if (code == kEndOfInformation)
                return nullptr;  // too little data for the strip
            len = length[code];
            if (len > end - pos) [[unlikely]] {
                // The strip is full: the rest of the string is dropped, as
                // libtiff does.
                std::memmove(buf + pos, buf + start[code], end - pos);
                break;
            }
            copyWords(buf, start[code], pos, len);
        } else {
            if (code > freeCode || freeCode >= kCodes)
                return nullptr;
            // The code being defined: the previous string and its own first
            // byte, which overlaps what is written, so byte by byte.
            len = prevLength + 1;
            if (len > end - pos)
                len = static_cast<uint32_t>(end - pos);
            for (uint32_t k = 0; k < len; ++k)
                buf[pos + k] = buf[prevStart + k];
        }
        // The new entry: the previous string and the first byte of this one,
        // which follows it in the output.
        start[freeCode] = prevStart;
        length[freeCode] = prevLength + 1;
        ++freeCode;
        if (freeCode + 1 >= (1u << bits) && bits < kMaxBits)
            ++bits;
        prevStart = static_cast<uint32_t>(pos);
        prevLength = len;
        pos += len;
    }
    return buf + kLiterals;
}

void accumulateRows(uint8_t* rows, size_t rowCount, size_t rowBytes, int samples, int bits)
{
    const size_t stride = static_cast<size_t>(samples);
    for (size_t r = 0; r < rowCount; ++r) {
        uint8_t* row = rows + r * rowBytes;
        if (bits == 8) {
            for (size_t i = stride; i < rowBytes; ++i)
                row[i] = static_cast<uint8_t>(row[i] + row[i - stride]);
        } else {
            const size_t n = rowBytes / 2;
            for (size_t i = stride; i < n; ++i) {
                uint16_t a, b;
                std::memcpy(&a, row + 2 * i, 2);
                std::memcpy(&b, row + 2 * (i - stride), 2);
                a = static_cast<uint16_t>(a + b);
                std::memcpy(row + 2 * i, &a, 2);
            }
        }
    }
}

} // namespace quovix
