#include "imageio/metadata_source.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

namespace quovix {

namespace {

constexpr uint16_t kXmpTag = 700;

bool readAll(const std::string& path, std::string& bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

struct TiffHeader {
    bool little = true;
    uint32_t ifd = 0;
};

uint16_t get16(const unsigned char* p, bool little)
{
    return little ? static_cast<uint16_t>(p[0] | p[1] << 8) : static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t get32(const unsigned char* p, bool little)
{
    return little ? (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24)
                  : (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]});
}

bool readHeader(FILE* f, TiffHeader& h)
{
    unsigned char b[8];
    if (std::fread(b, 1, 8, f) != 8)
        return false;
    if (b[0] == 'I' && b[1] == 'I')
        h.little = true;
    else if (b[0] == 'M' && b[1] == 'M')
        h.little = false;
    else
        return false;
    if (get16(b + 2, h.little) != 42)
        return false;
    h.ifd = get32(b + 4, h.little);
    return true;
}

// File offset of the count field of IFD0's XMP entry, with the entry's byte
// count; 0 when there is none.
int64_t xmpEntry(FILE* f, const TiffHeader& h, int64_t& count)
{
    count = 0;
    unsigned char b[12];
    if (std::fseek(f, h.ifd, SEEK_SET) != 0 || std::fread(b, 1, 2, f) != 2)
        return 0;
    const uint16_t entries = get16(b, h.little);
    for (uint16_t i = 0; i < entries; ++i) {
        if (std::fread(b, 1, 12, f) != 12)
            return 0;
        if (get16(b, h.little) != kXmpTag)
            continue;
        const uint16_t type = get16(b + 2, h.little);
        const int64_t size = type == 1 || type == 7 ? 1 : 0;  // BYTE or UNDEFINED, as written
        count = size * get32(b + 4, h.little);
        return static_cast<int64_t>(h.ifd) + 2 + 12 * int64_t{i} + 4;
    }
    return 0;
}

} // namespace

bool jpegHeaderWithoutProfile(const std::string& path, std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    bytes.assign("\xFF\xD8", 2);
    unsigned char b[4];
    bool ok = std::fread(b, 1, 2, f) == 2 && b[0] == 0xFF && b[1] == 0xD8;
    std::vector<char> segment;
    while (ok) {
        if (std::fread(b, 1, 2, f) != 2 || b[0] != 0xFF) {
            ok = false;
            break;
        }
        int marker = b[1];
        while (marker == 0xFF) {  // fill bytes
            const int c = std::fgetc(f);
            if (c == EOF) {
                ok = false;
                break;
            }
            marker = c;
        }
        if (!ok || marker == 0xDA || marker == 0xD9)
            break;  // image data (or the end): the header is complete
        if (std::fread(b, 1, 2, f) != 2) {
            ok = false;
            break;
        }
        const size_t length = static_cast<size_t>(b[0] << 8 | b[1]);
        if (length < 2) {
            ok = false;
            break;
        }
        segment.resize(length - 2);
        if (std::fread(segment.data(), 1, segment.size(), f) != segment.size()) {
            ok = false;
            break;
        }
        static const char kIcc[] = "ICC_PROFILE";
        if (marker == 0xE2 && segment.size() >= sizeof kIcc && std::memcmp(segment.data(), kIcc, sizeof kIcc) == 0)
            continue;
        bytes.push_back('\xFF');
        bytes.push_back(static_cast<char>(marker));
        bytes.append(reinterpret_cast<const char*>(b), 2);
        bytes.append(segment.data(), segment.size());
    }
    std::fclose(f);
    bytes.append("\xFF\xD9", 2);
    return ok;
}

int64_t tiffXmpBytes(const std::string& path)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return -1;
    TiffHeader h;
    int64_t count = -1;
    if (readHeader(f, h))
        xmpEntry(f, h, count);
    std::fclose(f);
    return count;
}

bool tiffWithoutXmp(const std::string& path, std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    TiffHeader h;
    int64_t count = 0;
    const int64_t at = readHeader(f, h) ? xmpEntry(f, h, count) : 0;
    std::fclose(f);
    if (at == 0 || !readAll(path, bytes) || static_cast<int64_t>(bytes.size()) < at + 4)
        return false;
    std::memset(&bytes[static_cast<size_t>(at)], 0, 4);
    return true;
}

} // namespace quovix
