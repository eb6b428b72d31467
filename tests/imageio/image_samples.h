// Small image files generated for the image input/output tests: TIFFs of any
// kind libtiff can write (including kinds the reader refuses), hand-built
// TIFF headers for damaged files, and JPEGs of any colour model.
#pragma once

#include "test_util.h"

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <tiffio.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace samples {

struct SampleTiff {
    uint32_t width = 4;
    uint32_t height = 3;
    uint16_t samples = 3;
    uint16_t bits = 8;
    uint16_t photometric = PHOTOMETRIC_RGB;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t sampleFormat = SAMPLEFORMAT_UINT;
    uint16_t compression = COMPRESSION_NONE;
    bool tiled = false;
    bool bigTiff = false;
    bool position = false;  // write resolution and position tags
    float xResolution = 300.0f, yResolution = 300.0f, xPosition = 0.0f, yPosition = 0.0f;
};

// Pixel bytes in file order for a contiguous image (a simple ramp).
inline std::vector<unsigned char> rampPixels(const SampleTiff& s)
{
    std::vector<unsigned char> data(size_t(s.width) * s.height * s.samples * s.bits / 8);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<unsigned char>(i * 7 + 3);
    return data;
}

// Writes a TIFF straight through libtiff, bypassing the program's writers.
inline void writeSampleTiff(const std::string& path, const SampleTiff& s, const std::vector<unsigned char>& data)
{
    TIFF* t = TIFFOpen(path.c_str(), s.bigTiff ? "w8" : "w");
    ASSERT_NE(t, nullptr);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, s.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, s.height);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, s.samples);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, s.bits);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, s.photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, s.planar);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, s.sampleFormat);
    TIFFSetField(t, TIFFTAG_COMPRESSION, s.compression);
    if (s.samples == 4 || s.samples == 2) {
        uint16_t extra = EXTRASAMPLE_UNASSALPHA;
        TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    if (s.photometric == PHOTOMETRIC_PALETTE) {
        std::vector<uint16_t> map(size_t(1) << s.bits, 0);
        TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data(), map.data());
    }
    if (s.position) {
        TIFFSetField(t, TIFFTAG_XRESOLUTION, double(s.xResolution));
        TIFFSetField(t, TIFFTAG_YRESOLUTION, double(s.yResolution));
        TIFFSetField(t, TIFFTAG_XPOSITION, double(s.xPosition));
        TIFFSetField(t, TIFFTAG_YPOSITION, double(s.yPosition));
    }
    if (s.tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
        TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        std::vector<unsigned char> tile(TIFFTileSize(t), 0);
        TIFFWriteTile(t, tile.data(), 0, 0, 0, 0);
    } else if (s.planar == PLANARCONFIG_SEPARATE) {
        std::vector<unsigned char> row(TIFFScanlineSize(t), 0);
        for (uint16_t p = 0; p < s.samples; ++p)
            for (uint32_t y = 0; y < s.height; ++y)
                TIFFWriteScanline(t, row.data(), y, p);
    } else {
        size_t stride = size_t(s.width) * s.samples * s.bits / 8;
        for (uint32_t y = 0; y < s.height; ++y)
            TIFFWriteScanline(t, const_cast<unsigned char*>(data.data()) + y * stride, y, 0);
    }
    TIFFClose(t);
}

inline void writeSampleTiff(const std::string& path, const SampleTiff& s)
{
    writeSampleTiff(path, s, rampPixels(s));
}

// A hand-built classic little-endian grey 8-bit TIFF whose directory comes
// first and whose rows (one strip each) follow it: the header may claim any
// size, and the file may hold fewer rows than the strips point to.
inline std::string handMadeGreyTiff(uint32_t width, uint32_t height, uint32_t rowsStored)
{
    std::string out;
    auto put16 = [&](uint16_t v) { out.push_back(char(v & 0xFF)); out.push_back(char(v >> 8)); };
    auto put32 = [&](uint32_t v) { for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF)); };
    const uint32_t strips = height < 16 ? height : 16;  // huge claims keep a short strip list
    const uint16_t entries = 8;
    const uint32_t ifdSize = 2 + entries * 12 + 4;
    const uint32_t offsetsAt = 8 + ifdSize;
    const uint32_t countsAt = offsetsAt + 4 * strips;
    const uint32_t dataAt = countsAt + 4 * strips;
    out += "II";
    put16(42);
    put32(8);
    put16(entries);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put16(tag); put16(type); put32(count); put32(value);
    };
    entry(256, 4, 1, width);
    entry(257, 4, 1, height);
    entry(258, 3, 1, 8);
    entry(259, 3, 1, 1);
    entry(262, 3, 1, 1);
    entry(273, 4, strips, strips == 1 ? dataAt : offsetsAt);
    entry(278, 4, 1, height / strips);
    entry(279, 4, strips, strips == 1 ? width * (height / strips) : countsAt);
    put32(0);
    for (uint32_t i = 0; i < strips; ++i)
        put32(dataAt + i * width * (height / strips));
    for (uint32_t i = 0; i < strips; ++i)
        put32(width * (height / strips));
    for (uint32_t i = 0; i < rowsStored * width; ++i)
        out.push_back(char(i & 0xFF));
    return out;
}

// Encodes packed samples straight through libjpeg: library defaults, the
// given quality with baseline forced (what the program's writer must match).
inline std::string encodeJpeg(const std::vector<unsigned char>& pixels, int width, int height, int components,
                              J_COLOR_SPACE space, int quality)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = width;
    c.image_height = height;
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = const_cast<unsigned char*>(&pixels[size_t(c.next_scanline) * width * components]);
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string bytes(reinterpret_cast<char*>(mem), size);
    free(mem);
    return bytes;
}

// A JPEG of a simple sample pattern in any colour model.
inline std::string encodeSampleJpeg(int width, int height, int components, J_COLOR_SPACE space, int quality)
{
    std::vector<unsigned char> pixels(size_t(width) * height * components);
    const size_t rowSize = size_t(width) * components;
    for (size_t y = 0; y < size_t(height); ++y)
        for (size_t i = 0; i < rowSize; ++i)
            pixels[y * rowSize + i] = static_cast<unsigned char>((i * 5 + y * 3) & 0xFF);
    return encodeJpeg(pixels, width, height, components, space, quality);
}

// Content and modification time, to show a file was left untouched.
struct FileSnapshot {
    std::string bytes;
    struct timespec mtime{};
    bool operator==(const FileSnapshot& o) const
    {
        return bytes == o.bytes && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

inline FileSnapshot snapshot(const std::string& path)
{
    FileSnapshot s;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f != nullptr) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.bytes.append(buf, n);
        std::fclose(f);
    }
    struct stat st{};
    if (stat(path.c_str(), &st) == 0)
        s.mtime = st.st_mtim;
    return s;
}

// The names in a folder, sorted, without "." and "..".
inline std::vector<std::string> folderEntries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (d == nullptr)
        return names;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// What a library call returned and what it printed on the way.
struct Printed {
    quovix::Status status;
    std::string output;
};

template <typename Call>
Printed printedBy(Call&& call)
{
    Printed p;
    p.output = captureOutput([&] { p.status = call(); });
    return p;
}

// The status of a failed step: its exit code and the exact final text.
inline testing::AssertionResult failedWith(const quovix::Status& status, int exitCode, const std::string& text)
{
    if (status.ok())
        return testing::AssertionFailure() << "succeeded; expected exit " << exitCode << " with \"" << text << "\"";
    if (status.exitCode() != exitCode || status.consoleText() != text)
        return testing::AssertionFailure() << "exit " << status.exitCode() << " with \"" << status.consoleText()
                                           << "\"; expected exit " << exitCode << " with \"" << text << "\"";
    return testing::AssertionSuccess();
}

// Lowers this process's file-size limit while alive, so that a file write
// fails part way as on a full disk (EFBIG, SIGXFSZ ignored); restored after.
// The limit holds for the whole process: keep other file writes (and the
// test's own output to a file) out of its scope, e.g. by capturing stdout.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::fflush(stdout);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        active_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &previous_);
        signal(SIGXFSZ, previousHandler_);
    }
    bool active() const { return active_; }

private:
    rlimit previous_{};
    sighandler_t previousHandler_ = SIG_DFL;
    bool active_ = false;
};

} // namespace samples
