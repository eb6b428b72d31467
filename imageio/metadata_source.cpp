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

bool isIccSegment(const std::string& jpeg, const JpegSegment& s)
{
    static const char kIcc[] = "ICC_PROFILE";  // with its NUL
    return s.marker == 0xE2 && s.end - s.payload >= sizeof kIcc &&
           jpeg.compare(s.payload, sizeof kIcc, kIcc, sizeof kIcc) == 0;
}

} // namespace

bool jpegHeaderSegments(const std::string& jpeg, std::vector<JpegSegment>& segments, size_t& imageData)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(jpeg[i]); };
    segments.clear();
    if (jpeg.size() < 2 || byte(0) != 0xFF || byte(1) != 0xD8)
        return false;
    size_t at = 2;
    for (;;) {
        if (at + 2 > jpeg.size() || byte(at) != 0xFF)
            return false;
        size_t m = at + 1;
        while (m < jpeg.size() && byte(m) == 0xFF)  // fill bytes
            ++m;
        if (m >= jpeg.size())
            return false;
        const int marker = byte(m);
        if (marker == 0xDA || marker == 0xD9) {  // image data (or the end): the header is complete
            imageData = at;
            return true;
        }
        if (m + 3 > jpeg.size())
            return false;
        const size_t length = size_t{byte(m + 1)} << 8 | byte(m + 2);
        if (length < 2 || length > jpeg.size() - m - 1)
            return false;
        segments.push_back({marker, at, m + 3, m + 1 + length});
        at = m + 1 + length;
    }
}

bool splitJpegProfile(const std::string& jpeg, std::string& rest, std::string& profile)
{
    std::vector<JpegSegment> segments;
    size_t imageData = 0;
    if (!jpegHeaderSegments(jpeg, segments, imageData))
        return false;
    rest.assign(jpeg, 0, 2);
    profile.clear();
    for (const JpegSegment& s : segments)
        (isIccSegment(jpeg, s) ? profile : rest).append(jpeg, s.at, s.end - s.at);
    rest.append(jpeg, imageData, std::string::npos);
    return true;
}

bool insertJpegProfile(std::string& jpeg, const std::string& profile)
{
    std::vector<JpegSegment> segments;
    size_t imageData = 0;
    if (!jpegHeaderSegments(jpeg, segments, imageData))
        return false;
    size_t at = 2;
    for (const JpegSegment& s : segments) {
        if (s.marker != 0xE0 && s.marker != 0xE1)
            break;
        at = s.end;
    }
    jpeg.insert(at, profile);
    return true;
}

bool jpegHeaderWithoutProfile(const std::string& path, std::string& bytes)
{
    std::string jpeg;
    std::string profile;
    if (!readAll(path, jpeg) || !splitJpegProfile(jpeg, bytes, profile))
        return false;
    std::vector<JpegSegment> segments;
    size_t imageData = 0;
    jpegHeaderSegments(bytes, segments, imageData);
    bytes.resize(imageData);
    bytes.append("\xFF\xD9", 2);
    return true;
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
