#include "imageio/lzw_encode.h"

#include <bit>
#include <cstring>

namespace quovix {

namespace {

constexpr int kMinBits = 9;
constexpr uint32_t kClear = 256;
constexpr uint32_t kEndOfInformation = 257;
constexpr uint32_t kFirstCode = 258;
constexpr uint32_t kTableFull = 4094;  // codes handed out before a clear
constexpr int64_t kCheckGap = 10000;   // input bytes between ratio checks

// The dictionary in two tables. The primary one is indexed by a plain xor of
// byte and prefix code, which is on the critical path of every input byte,
// and holds at most one entry per slot: valid bit 24, byte in bits 16-23,
// code in bits 0-11. The slot and the byte give back the prefix, so the byte
// identifies the entry, and the code is read with a 16-bit load and used as
// it is. 65536 slots for at most 3836 entries keep collisions rare; an entry
// whose slot is taken goes to the small overflow table, packed as ~(byte <<
// 12 | prefix) << 12 | code (no key inverts to 0: prefix codes stay below
// 4095) with linear probing. Only the slots used are cleared.
constexpr int kSlotBits = 16;
constexpr uint32_t kSlots = 1u << kSlotBits;
constexpr int kOverflowBits = 13;
constexpr uint32_t kOverflowSlots = 1u << kOverflowBits;
constexpr uint32_t kValid = 1u << 24;

// Codes go out most significant bit first, 32 bits at a time.
struct BitWriter {
    uint8_t* out;
    uint64_t data = 0;
    int count = 0;

    void put(uint32_t code, int bits)
    {
        data = (data << bits) | code;
        count += bits;
        if (count >= 32) {
            count -= 32;
            const uint32_t word = static_cast<uint32_t>(data >> count);
            out[0] = static_cast<uint8_t>(word >> 24);
            out[1] = static_cast<uint8_t>(word >> 16);
            out[2] = static_cast<uint8_t>(word >> 8);
            out[3] = static_cast<uint8_t>(word);
            out += 4;
        }
    }
    // The bits left, the last byte padded with zero bits.
    uint8_t* finish()
    {
        while (count >= 8) {
            count -= 8;
            *out++ = static_cast<uint8_t>(data >> count);
        }
        if (count > 0)
            *out++ = static_cast<uint8_t>(data << (8 - count));
        return out;
    }
};

} // namespace

LzwEncoder::LzwEncoder() : table_(kSlots + kOverflowSlots, 0), used_(kTableFull) {}

namespace {

// The code of a primary entry: its low 16 bits, loaded on their own.
inline uint32_t codeAt(const uint32_t* table, uint32_t slot)
{
    constexpr size_t offset = std::endian::native == std::endian::big ? 2 : 0;
    uint16_t code;
    std::memcpy(&code, reinterpret_cast<const uint8_t*>(table + slot) + offset, 2);
    return code;
}

// The code width and the table's life between clears.
struct CodeSpace {
    int bits = kMinBits;
    uint32_t maxCode = (1u << kMinBits) - 1;
    uint32_t freeCode = kFirstCode;
    // Input bytes since the last clear: i + 1 - countBase, kept implicit so
    // the byte loop carries nothing through memory.
    int64_t countBase = 0;
    int64_t outCount = 0, checkpoint = kCheckGap, ratio = 0;

    // Whether code space needs a look after a code was handed out at input
    // byte i.
    bool due(size_t i) const
    {
        return freeCode > maxCode || freeCode == kTableFull || static_cast<int64_t>(i) + 1 - countBase >= checkpoint;
    }

    // Widens the codes, or tells that the table is to be dropped: when it is
    // full, or when the ratio of input bytes to output bits, measured every
    // kCheckGap input bytes, stops improving.
    bool widenOrDrop(size_t i, LzwStats* stats)
    {
        if (freeCode == kTableFull) {
            if (stats != nullptr)
                ++stats->fullTableClears;
            return true;
        }
        if (freeCode > maxCode) {
            ++bits;
            maxCode = (1u << bits) - 1;
            return false;
        }
        // 24.8 fixed point.
        const int64_t inCount = static_cast<int64_t>(i) + 1 - countBase;
        checkpoint = inCount + kCheckGap;
        int64_t r;
        if (inCount > 0x007fffff) {
            r = outCount >> 8;
            r = r == 0 ? 0x7fffffff : inCount / r;
        } else {
            r = (inCount << 8) / outCount;
        }
        if (r <= ratio) {
            if (stats != nullptr)
                ++stats->ratioClears;
            return true;
        }
        ratio = r;
        return false;
    }

    // A clear code after input byte i, in the width it follows; the count
    // restarts with it.
    void clear(BitWriter& writer, size_t i)
    {
        ratio = 0;
        countBase = static_cast<int64_t>(i) + 1;
        freeCode = kFirstCode;
        writer.put(kClear, bits);
        outCount = bits;
        bits = kMinBits;
        maxCode = (1u << kMinBits) - 1;
    }
};

// Looks the string prefix + c up in the overflow table: true with its code in
// `prefix` when there, else it is entered under `code` at `slot` (an index
// into the whole table).
inline bool findOrAddOverflow(uint32_t* table, uint32_t c, uint32_t& prefix, uint32_t& slot, uint32_t code)
{
    const uint32_t key = ~((c << 12) | prefix) << 12;
    uint32_t* const overflow = table + kSlots;
    uint32_t entry;
    slot = ((c << (kOverflowBits - 8)) ^ prefix) & (kOverflowSlots - 1);
    while ((entry = overflow[slot]) != 0 && (entry & 0xfffff000u) != key)
        slot = (slot + 1) & (kOverflowSlots - 1);
    if (entry != 0) {
        prefix = entry & 0xfff;
        return true;
    }
    overflow[slot] = key | code;
    slot += kSlots;
    return false;
}

} // namespace

void encodeLzwStrip(const uint8_t* data, size_t size, std::vector<uint8_t>& out, LzwStats* stats)
{
    static thread_local LzwEncoder encoder;
    encoder.encode(data, size, out, stats);
}

void LzwEncoder::encode(const uint8_t* data, size_t size, std::vector<uint8_t>& out, LzwStats* stats)
{
    // At most one code per input byte, plus the clear codes (one per at least
    // one input byte), the first clear and the end code, 12 bits each.
    // The codes go to a buffer of our own, left uninitialised: zero-filling
    // room for the worst case, as a vector would, costs more than copying
    // out what was written.
    const size_t worst = (2 * size + 4) * 3 / 2 + 8;
    if (worst > bufferSize_) {
        buffer_ = std::make_unique_for_overwrite<uint8_t[]>(worst);
        bufferSize_ = worst;
    }
    BitWriter writer{buffer_.get()};
    uint32_t* const table = table_.data();
    uint32_t* const usedSlots = used_.data();  // at most 3836 entries between clears
    size_t usedCount = 0;
    CodeSpace space;

    if (size > 0) {
        writer.put(kClear, space.bits);
        space.outCount += space.bits;
        uint32_t prefix = data[0];
        size_t i = 0;
        for (;;) {
            // Follow the dictionary while the string grows: one load on the
            // critical path per byte.
            uint32_t c, slot, entry;
            for (;;) {
                if (++i == size)
                    goto done;
                c = data[i];
                slot = (c << (kSlotBits - 8)) ^ prefix;
                entry = table[slot];
                if ((entry >> 16) != (c | (kValid >> 16)))
                    break;
                prefix = codeAt(table, slot);
            }
            if (entry != 0) {
                // Taken by another string: look in the overflow table.
                if (findOrAddOverflow(table, c, prefix, slot, space.freeCode))
                    continue;
            } else {
                table[slot] = kValid | (c << 16) | space.freeCode;
            }
            writer.put(prefix, space.bits);
            space.outCount += space.bits;
            prefix = c;
            usedSlots[usedCount++] = slot;
            ++space.freeCode;
            if (space.due(i) && space.widenOrDrop(i, stats)) {
                for (size_t k = 0; k < usedCount; ++k)
                    table[usedSlots[k]] = 0;
                usedCount = 0;
                space.clear(writer, i);
            }
        }
    done:
        // The last code, then the width it would have left for the next.
        writer.put(prefix, space.bits);
        ++space.freeCode;
        if (space.freeCode == kTableFull) {
            writer.put(kClear, space.bits);
            space.bits = kMinBits;
        } else if (space.freeCode > space.maxCode) {
            ++space.bits;
        }
    }
    for (size_t k = 0; k < usedCount; ++k)
        table[usedSlots[k]] = 0;
    writer.put(kEndOfInformation, space.bits);
    uint8_t* end = writer.finish();
    out.insert(out.end(), buffer_.get(), end);
}

void differenceRows(uint8_t* rows, size_t rowCount, size_t rowBytes, int samples, int bits)
{
    const size_t stride = static_cast<size_t>(samples);
    for (size_t r = 0; r < rowCount; ++r) {
        uint8_t* row = rows + r * rowBytes;
        if (bits == 8) {
            for (size_t i = rowBytes; i-- > stride;)
                row[i] = static_cast<uint8_t>(row[i] - row[i - stride]);
        } else {
            const size_t n = rowBytes / 2;
            for (size_t i = n; i-- > stride;) {
                uint16_t a, b;
                std::memcpy(&a, row + 2 * i, 2);
                std::memcpy(&b, row + 2 * (i - stride), 2);
                a = static_cast<uint16_t>(a - b);
                std::memcpy(row + 2 * i, &a, 2);
            }
        }
    }
}

} // namespace quovix
