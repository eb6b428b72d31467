#include "imageio/tiff_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <limits>

namespace quovix {
namespace {

constexpr uint16_t kStripOffsetsTag = 0x0111;
constexpr uint16_t kStripByteCountsTag = 0x0117;
constexpr uint16_t kExifIfdTag = 0x8769;
constexpr uint16_t kShort = 3;
constexpr uint16_t kLong = 4;
constexpr uint16_t kIfd = 13;

// Tags whose values point elsewhere in the file (other directories, tiles,
// embedded thumbnails): a skeleton cannot carry them over as plain values.
bool pointsIntoFile(uint16_t tag)
{
    switch (tag) {
    case 0x0144:  // TileOffsets
    case 0x0145:  // TileByteCounts
    case 0x014A:  // SubIFDs
    case 0x0120:  // FreeOffsets
    case 0x0201:  // JPEGInterchangeFormat
    case 0x8769:  // Exif IFD
    case 0x8825:  // GPS IFD
    case 0xA005:  // Interoperability IFD
        return true;
    default:
        return false;
    }
}

size_t typeSize(uint16_t type)
{
    switch (type) {
    case 1: case 2: case 6: case 7:
        return 1;
    case 3: case 8:
        return 2;
    case 4: case 9: case 11: case 13:
        return 4;
    case 5: case 10: case 12:
        return 8;
    default:
        return 0;
    }
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

bool readAt(int fd, uint64_t offset, void* out, size_t size)
{
    auto* p = static_cast<char*>(out);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t size)
{
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The bytes of a file, either read on demand or held in memory.
struct Bytes {
    int fd = -1;
    const std::vector<uint8_t>* memory = nullptr;
    uint64_t size = 0;

    bool read(uint64_t offset, void* out, size_t length) const
    {
        if (offset > size || length > size - offset)
            return false;
        if (memory != nullptr) {
            std::memcpy(out, memory->data() + offset, length);
            return true;
        }
        return readAt(fd, offset, out, length);
    }
};

struct Entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    uint8_t field[4] = {};   // the value itself when it fits, else its offset
    uint64_t position = 0;   // of the entry in the file
};

struct Directory {
    bool bigEndian = false;
    uint64_t offset = 0;
    std::vector<Entry> entries;
    uint32_t next = 0;
};

uint16_t get16(const uint8_t* p, bool be)
{
    return be ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t get32(const uint8_t* p, bool be)
{
    return be ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
              : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
}

void put16(uint8_t* p, uint16_t v, bool be)
{
    if (be) {
        p[0] = static_cast<uint8_t>(v >> 8);
        p[1] = static_cast<uint8_t>(v);
    } else {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
}

void put32(uint8_t* p, uint32_t v, bool be)
{
    for (int i = 0; i < 4; ++i)
        p[be ? 3 - i : i] = static_cast<uint8_t>(v >> (8 * i));
}

bool readDirectoryAt(const Bytes& file, uint64_t offset, Directory& dir, std::string& reason);

// The first directory; `dir.bigEndian` is set from the header.
bool readDirectory(const Bytes& file, Directory& dir, std::string& reason)
{
    uint8_t header[8];
    if (!file.read(0, header, sizeof header)) {
        reason = "too short for a TIFF";
        return false;
    }
    if (header[0] == 'I' && header[1] == 'I')
        dir.bigEndian = false;
    else if (header[0] == 'M' && header[1] == 'M')
        dir.bigEndian = true;
    else {
        reason = "not a TIFF";
        return false;
    }
    if (get16(header + 2, dir.bigEndian) != 42) {
        reason = "not a classic TIFF";
        return false;
    }
    return readDirectoryAt(file, get32(header + 4, dir.bigEndian), dir, reason);
}

bool readDirectoryAt(const Bytes& file, uint64_t offset, Directory& dir, std::string& reason)
{
    dir.offset = offset;
    dir.entries.clear();
    uint8_t countBytes[2];
    if (!file.read(dir.offset, countBytes, 2)) {
        reason = "directory outside the file";
        return false;
    }
    const uint16_t count = get16(countBytes, dir.bigEndian);
    if (count == 0) {
        reason = "empty directory";
        return false;
    }
    std::vector<uint8_t> raw(size_t{count} * 12 + 4);
    if (!file.read(dir.offset + 2, raw.data(), raw.size())) {
        reason = "directory outside the file";
        return false;
    }
    dir.entries.resize(count);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = raw.data() + i * 12;
        Entry& e = dir.entries[i];
        e.tag = get16(p, dir.bigEndian);
        e.type = get16(p + 2, dir.bigEndian);
        e.count = get32(p + 4, dir.bigEndian);
        std::memcpy(e.field, p + 8, 4);
        e.position = dir.offset + 2 + i * 12;
        if (typeSize(e.type) == 0) {
            reason = "unknown field type in tag " + std::to_string(e.tag);
            return false;
        }
    }
    dir.next = get32(raw.data() + size_t{count} * 12, dir.bigEndian);
    return true;
}

// Size in bytes of an entry's value; 0 when it would not fit a classic TIFF.
uint64_t valueSize(const Entry& e)
{
    return uint64_t{typeSize(e.type)} * e.count;
}

uint64_t valueOffset(const Entry& e, const Directory& dir)
{
    return valueSize(e) <= 4 ? e.position + 8 : get32(e.field, dir.bigEndian);
}

bool readValue(const Bytes& file, const Directory& dir, const Entry& e, std::vector<uint8_t>& out)
{
    const uint64_t size = valueSize(e);
    if (size > std::numeric_limits<uint32_t>::max())
        return false;
    out.resize(static_cast<size_t>(size));
    if (size <= 4) {
        std::memcpy(out.data(), e.field, static_cast<size_t>(size));
        return true;
    }
    return file.read(get32(e.field, dir.bigEndian), out.data(), out.size());
}

bool readUnsigned(const Bytes& file, const Directory& dir, const Entry& e, std::vector<uint32_t>& out)
{
    if (e.type != kShort && e.type != kLong)
        return false;
    std::vector<uint8_t> raw;
    if (!readValue(file, dir, e, raw))
        return false;
    out.resize(e.count);
    for (uint32_t i = 0; i < e.count; ++i)
        out[i] = e.type == kShort ? get16(raw.data() + 2 * size_t{i}, dir.bigEndian)
                                  : get32(raw.data() + 4 * size_t{i}, dir.bigEndian);
    return true;
}

const Entry* findEntry(const Directory& dir, uint16_t tag)
{
    for (const Entry& e : dir.entries) {
        if (e.tag == tag)
            return &e;
    }
    return nullptr;
}

bool stripTableOf(const Bytes& file, const Directory& dir, StripTable& strips, std::string& reason)
{
    const Entry* offsets = findEntry(dir, kStripOffsetsTag);
    const Entry* counts = findEntry(dir, kStripByteCountsTag);
    if (offsets == nullptr || counts == nullptr || offsets->count == 0 || offsets->count != counts->count) {
        reason = "no strip table";
        return false;
    }
    if (!readUnsigned(file, dir, *offsets, strips.offsets) || !readUnsigned(file, dir, *counts, strips.byteCounts)) {
        reason = "unreadable strip table";
        return false;
    }
    for (size_t i = 0; i < strips.offsets.size(); ++i) {
        if (uint64_t{strips.offsets[i]} + strips.byteCounts[i] > file.size) {
            reason = "strip " + std::to_string(i) + " outside the file";
            return false;
        }
    }
    return true;
}

uint64_t fileSize(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

int openForWriting(const std::string& path)
{
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

} // namespace

namespace {

// The first directory of an open file and its strips.
bool readFirstDirectory(const Fd& in, Bytes& file, Directory& dir, StripTable& strips, std::string& reason)
{
    if (in.get() < 0) {
        reason = std::strerror(errno);
        return false;
    }
    file = Bytes{in.get(), nullptr, fileSize(in.get())};
    return readDirectory(file, dir, reason) && stripTableOf(file, dir, strips, reason);
}

} // namespace

bool readStripTable(const std::string& tiff, StripTable& strips, std::string& reason)
{
    Fd in(::open(tiff.c_str(), O_RDONLY | O_CLOEXEC));
    Bytes file;
    Directory dir;
    return readFirstDirectory(in, file, dir, strips, reason);
}

bool exifEntryCount(const std::string& tiff, uint16_t tag, uint32_t& count, std::string& reason)
{
    count = 0;
    Fd in(::open(tiff.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        reason = std::strerror(errno);
        return false;
    }
    const Bytes file{in.get(), nullptr, fileSize(in.get())};
    Directory first;
    if (!readDirectory(file, first, reason))
        return false;
    const Entry* pointer = findEntry(first, kExifIfdTag);
    if (pointer == nullptr)
        return true;
    if (pointer->count != 1 || (pointer->type != kLong && pointer->type != kIfd)) {
        reason = "unreadable Exif directory pointer";
        return false;
    }
    Directory exif;
    exif.bigEndian = first.bigEndian;
    if (!readDirectoryAt(file, get32(pointer->field, first.bigEndian), exif, reason))
        return false;
    if (const Entry* e = findEntry(exif, tag))
        count = e->count;
    return true;
}

bool writeStripSkeleton(const std::string& tiff, const std::string& skeleton, StripTable& strips,
                        std::string& reason)
{
    Fd in(::open(tiff.c_str(), O_RDONLY | O_CLOEXEC));
    Bytes file;
    Directory dir;
    if (!readFirstDirectory(in, file, dir, strips, reason))
        return false;
    if (dir.next != 0) {
        reason = "more than one image in the file";
        return false;
    }
    for (const Entry& e : dir.entries) {
        if (pointsIntoFile(e.tag)) {
            reason = "tag " + std::to_string(e.tag) + " points into the file";
            return false;
        }
    }

    // Header, the directory, the values that do not fit an entry (each at an
    // even offset), then one byte per strip.
    const bool be = dir.bigEndian;
    const size_t stripCount = strips.offsets.size();
    const size_t n = dir.entries.size();
    std::vector<uint8_t> out(8 + 2 + 12 * n + 4, 0);
    out[0] = out[1] = be ? 'M' : 'I';
    put16(out.data() + 2, 42, be);
    put32(out.data() + 4, 8, be);
    put16(out.data() + 8, static_cast<uint16_t>(n), be);
    size_t offsetsAt = 0;  // where the strip offsets and byte counts go
    size_t countsAt = 0;
    std::vector<uint8_t> value;
    for (size_t i = 0; i < n; ++i) {
        const Entry& e = dir.entries[i];
        uint8_t* entry = out.data() + 10 + 12 * i;
        put16(entry, e.tag, be);
        const bool stripTag = e.tag == kStripOffsetsTag || e.tag == kStripByteCountsTag;
        if (stripTag) {
            value.assign(4 * stripCount, 0);
            put16(entry + 2, kLong, be);
        } else {
            if (!readValue(file, dir, e, value)) {
                reason = "value of tag " + std::to_string(e.tag) + " outside the file";
                return false;
            }
            put16(entry + 2, e.type, be);
        }
        put32(entry + 4, stripTag ? static_cast<uint32_t>(stripCount) : e.count, be);
        size_t at = static_cast<size_t>(entry + 8 - out.data());
        if (value.size() > 4) {
            if (out.size() % 2 != 0)
                out.push_back(0);
            at = out.size();
            put32(entry + 8, static_cast<uint32_t>(at), be);
            out.insert(out.end(), value.begin(), value.end());
        } else {
            std::memcpy(entry + 8, value.data(), value.size());
        }
        if (e.tag == kStripOffsetsTag)
            offsetsAt = at;
        else if (e.tag == kStripByteCountsTag)
            countsAt = at;
    }
    const size_t stripBase = out.size();
    for (size_t s = 0; s < stripCount; ++s) {
        put32(out.data() + offsetsAt + 4 * s, static_cast<uint32_t>(stripBase + s), be);
        put32(out.data() + countsAt + 4 * s, 1u, be);
    }
    out.resize(stripBase + stripCount, 0);

    Fd fd(openForWriting(skeleton));
    if (fd.get() < 0 || !writeAll(fd.get(), out.data(), out.size()) || !fd.close()) {
        reason = skeleton + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

// A whole small file (at most 1 GiB) read into memory.
bool readSmallFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& reason)
{
    Fd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const uint64_t size = in.get() < 0 ? 0 : fileSize(in.get());
    if (in.get() < 0 || size == 0 || size > (uint64_t{1} << 30)) {
        reason = path + ": unreadable";
        return false;
    }
    bytes.resize(static_cast<size_t>(size));
    if (!readAt(in.get(), 0, bytes.data(), bytes.size())) {
        reason = path + ": unreadable";
        return false;
    }
    return true;
}

// The strip table of the rewritten skeleton `head` pointed at the strips as
// they will follow it (from an even offset, so `head` may gain a pad byte).
bool patchStripTable(std::vector<uint8_t>& head, const StripTable& strips, std::string& reason)
{
    const Bytes headBytes{-1, &head, head.size()};
    Directory dir;
    if (!readDirectory(headBytes, dir, reason))
        return false;
    const Entry* offsets = findEntry(dir, kStripOffsetsTag);
    const Entry* counts = findEntry(dir, kStripByteCountsTag);
    const size_t stripCount = strips.offsets.size();
    if (offsets == nullptr || counts == nullptr || offsets->type != kLong || counts->type != kLong ||
        offsets->count != stripCount || counts->count != stripCount) {
        reason = "the rewritten directory has another strip table";
        return false;
    }
    const uint64_t offsetsAt = valueOffset(*offsets, dir);
    const uint64_t countsAt = valueOffset(*counts, dir);
    if (offsetsAt + 4 * uint64_t{stripCount} > head.size() || countsAt + 4 * uint64_t{stripCount} > head.size()) {
        reason = "the rewritten strip table lies outside the directory data";
        return false;
    }
    const uint64_t base = head.size() + (head.size() % 2);
    uint64_t at = base;
    for (size_t s = 0; s < stripCount; ++s) {
        if (at + strips.byteCounts[s] > std::numeric_limits<uint32_t>::max()) {
            reason = "too large for a classic TIFF";
            return false;
        }
        put32(head.data() + offsetsAt + 4 * s, static_cast<uint32_t>(at), dir.bigEndian);
        put32(head.data() + countsAt + 4 * s, strips.byteCounts[s], dir.bigEndian);
        at += strips.byteCounts[s];
    }
    if (base != head.size())
        head.push_back(0);
    return true;
}

// Every strip of `in` copied to `out` in order, through one buffer.
bool copyStrips(int in, int out, const StripTable& strips, const std::string& tiff, const std::string& output,
                std::string& reason)
{
    std::vector<uint8_t> buffer(size_t{1} << 20);
    for (size_t s = 0; s < strips.offsets.size(); ++s) {
        uint64_t from = strips.offsets[s];
        uint64_t left = strips.byteCounts[s];
        while (left > 0) {
            const size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
            if (!readAt(in, from, buffer.data(), chunk)) {
                reason = tiff + ": cannot read strip " + std::to_string(s);
                return false;
            }
            if (!writeAll(out, buffer.data(), chunk)) {
                reason = output + ": " + std::strerror(errno);
                return false;
            }
            from += chunk;
            left -= chunk;
        }
    }
    return true;
}

} // namespace

bool appendStrips(const std::string& skeleton, const std::string& tiff, const StripTable& strips,
                  const std::string& output, std::string& reason)
{
    // The rewritten skeleton holds only tags and metadata: small enough to
    // patch in memory.
    std::vector<uint8_t> head;
    if (!readSmallFile(skeleton, head, reason) || !patchStripTable(head, strips, reason))
        return false;

    Fd in(::open(tiff.c_str(), O_RDONLY | O_CLOEXEC));
    Fd out(openForWriting(output));
    if (in.get() < 0 || out.get() < 0) {
        reason = (in.get() < 0 ? tiff : output) + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(in.get(), &st) == 0)
        (void)fchmod(out.get(), st.st_mode & 07777);
    if (!writeAll(out.get(), head.data(), head.size())) {
        reason = output + ": " + std::strerror(errno);
        return false;
    }
    if (!copyStrips(in.get(), out.get(), strips, tiff, output, reason))
        return false;
    if (::fsync(out.get()) != 0 || !out.close()) {
        reason = output + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace quovix
