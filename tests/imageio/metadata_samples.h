// Files for the colour-profile and camera-metadata tests: crops of real
// photographs written as inputs (with a profile and EXIF) and as outputs the
// way the program writes them, and readers that show what a file holds.
#pragma once

#include "imageio/icc_profile.h"
#include "imageio/tiff_io.h"
#include "support/settings.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <gtest/gtest.h>
#include <jpeglib.h>
#include <tiffio.h>

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace metadata_samples {

// Packed RGB, 8 bits a sample.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb;
};

// Decoded samples of a JPEG (RGB for colour files); its width in pixels
// goes to *width when given.
inline std::vector<unsigned char> jpegSamples(const std::string& path, int* width = nullptr)
{
    std::vector<unsigned char> all;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return all;
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    if (width != nullptr)
        *width = static_cast<int>(info.output_width);
    std::vector<unsigned char> row(size_t(info.output_width) * info.output_components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
        all.insert(all.end(), row.begin(), row.end());
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return all;
}

// A region of a JPEG photograph.
inline Picture photoCrop(const std::string& path, int x, int y, int width, int height)
{
    Picture out;
    int fullWidth = 0;
    const std::vector<unsigned char> all = jpegSamples(path, &fullWidth);
    if (x < 0 || y < 0 || x + width > fullWidth || size_t(y + height) * fullWidth * 3 > all.size())
        return out;  // outside the photograph: empty
    out.width = width;
    out.height = height;
    out.rgb.resize(size_t(width) * height * 3);
    for (int line = 0; line < height; ++line) {
        const auto from = all.begin() + (size_t(y + line) * fullWidth + x) * 3;
        std::copy(from, from + size_t(width) * 3, out.rgb.begin() + size_t(line) * width * 3);
    }
    return out;
}

// Encodes the picture as the JPEG export does: library defaults at the
// quality, the profile written right after the start of compression.
inline void writeJpeg(const std::string& path, const Picture& p, const quovix::IccProfile& profile, int quality = 90)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = static_cast<JDIMENSION>(p.width);
    info.image_height = static_cast<JDIMENSION>(p.height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const quovix::MetadataStatus status = quovix::writeJpegIccProfile(&info, profile);
    EXPECT_TRUE(status.ok()) << status.detail;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(&p.rgb[size_t(info.next_scanline) * p.width * 3]);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
}

// An RGBA output as the program writes it (its own tag set: 32-row strips,
// the run's compression, position tags), 8 or 16 bits a sample, with the
// profile set among the tags before the first row. Alpha is opaque.
inline void writeOutputTiff(quovix::RunContext& run, const std::string& path, const Picture& p, int bits,
                            const quovix::IccProfile& profile, bool bigTiff = false)
{
    TIFF* tiff = TIFFOpen(path.c_str(), bigTiff ? "w8" : "w");
    ASSERT_NE(tiff, nullptr);
    quovix::ImageRegion region{12, 34, p.width, p.height};
    writeTiffTags(run, tiff, quovix::TiffLayout(p.width, p.height, bits == 16 ? 8 : 4, region));
    const quovix::MetadataStatus status = quovix::setTiffIccProfile(tiff, profile);
    EXPECT_TRUE(status.ok()) << status.detail;
    std::vector<unsigned char> row(size_t(p.width) * 4 * (bits / 8));
    for (int y = 0; y < p.height; ++y) {
        const unsigned char* src = &p.rgb[size_t(y) * p.width * 3];
        for (int x = 0; x < p.width; ++x) {
            for (int k = 0; k < 4; ++k) {
                const unsigned v = k < 3 ? src[3 * x + k] : 255;
                if (bits == 16)
                    reinterpret_cast<uint16_t*>(row.data())[4 * x + k] = static_cast<uint16_t>(v * 257 + x % 7);
                else
                    row[4 * x + k] = static_cast<unsigned char>(v);
            }
        }
        ASSERT_NE(TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0), -1);
    }
    TIFFClose(tiff);
}

// An 8-bit RGB input TIFF, as another program would hand it over.
inline void writeInputTiff(const std::string& path, const Picture& p, const quovix::IccProfile& profile)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 16);
    EXPECT_TRUE(quovix::setTiffIccProfile(tiff, profile).ok());
    for (int y = 0; y < p.height; ++y)
        ASSERT_NE(TIFFWriteScanline(tiff, const_cast<unsigned char*>(&p.rgb[size_t(y) * p.width * 3]),
                                    static_cast<uint32_t>(y), 0),
                  -1);
    TIFFClose(tiff);
}

// Every decoded row of the first image, in file order.
inline std::vector<unsigned char> tiffSamples(const std::string& path)
{
    std::vector<unsigned char> all;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr)
        return all;
    uint32_t height = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    std::vector<unsigned char> row(TIFFScanlineSize(tiff));
    for (uint32_t y = 0; y < height; ++y) {
        if (TIFFReadScanline(tiff, row.data(), y, 0) < 0)
            return {};
        all.insert(all.end(), row.begin(), row.end());
    }
    TIFFClose(tiff);
    return all;
}

// The stored (compressed) bytes of each strip.
inline std::vector<std::string> tiffStrips(const std::string& path)
{
    std::vector<std::string> strips;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr)
        return strips;
    uint64_t* counts = nullptr;
    TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &counts);
    for (uint32_t s = 0; s < TIFFNumberOfStrips(tiff); ++s) {
        std::string bytes(static_cast<size_t>(counts[s]), '\0');
        if (TIFFReadRawStrip(tiff, s, bytes.data(), static_cast<tmsize_t>(bytes.size())) < 0)
            return {};
        strips.push_back(bytes);
    }
    TIFFClose(tiff);
    return strips;
}

inline int tiffDirectories(const std::string& path)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr)
        return 0;
    int n = TIFFNumberOfDirectories(tiff);
    TIFFClose(tiff);
    return n;
}

// The tags that say how the first image is stored, as text.
inline std::string tiffLayout(const std::string& path)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    if (tiff == nullptr)
        return "unreadable";
    uint32_t width = 0, height = 0, rowsPerStrip = 0;
    uint16_t bits = 0, samples = 0, compression = 0, photometric = 0, planar = 0, predictor = 0, extraCount = 0;
    uint16_t* extra = nullptr;
    float x = 0, y = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PREDICTOR, &predictor);
    TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    TIFFGetField(tiff, TIFFTAG_XPOSITION, &x);
    TIFFGetField(tiff, TIFFTAG_YPOSITION, &y);
    char text[256];
    std::snprintf(text, sizeof text, "%ux%u rows/strip %u bits %u samples %u compression %u photometric %u "
                  "planar %u predictor %u extra %u:%u position %g,%g",
                  width, height, rowsPerStrip, bits, samples, compression, photometric, planar, predictor,
                  extraCount, extraCount > 0 ? extra[0] : 0, x, y);
    TIFFClose(tiff);
    return text;
}


// The JPEG's frame and scan: everything from the first table after the
// application segments (APPn, COM) to the end, the part a metadata writer
// must copy unchanged.
inline std::string jpegCodedData(const std::string& path)
{
    std::string bytes;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return bytes;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, n);
    std::fclose(file);
    size_t at = 2;
    while (at + 4 <= bytes.size() && static_cast<unsigned char>(bytes[at]) == 0xFF) {
        const int marker = static_cast<unsigned char>(bytes[at + 1]);
        if (!((marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE))
            return bytes.substr(at);
        at += 2 + ((size_t(static_cast<unsigned char>(bytes[at + 2])) << 8) | static_cast<unsigned char>(bytes[at + 3]));
    }
    return {};
}

// One marker segment of a JPEG header: its position and total size
// (marker and length bytes included).
struct Segment {
    int marker;
    size_t at;
    size_t size;
};

// The segments before the scan data.
inline std::vector<Segment> headerSegments(const std::string& jpeg)
{
    std::vector<Segment> segments;
    size_t at = 2;
    while (at + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[at]) == 0xFF) {
        const int marker = static_cast<unsigned char>(jpeg[at + 1]);
        const size_t length = (size_t(static_cast<unsigned char>(jpeg[at + 2])) << 8) |
                              static_cast<unsigned char>(jpeg[at + 3]);
        segments.push_back({marker, at, length + 2});
        if (marker == 0xDA)
            break;
        at += length + 2;
    }
    return segments;
}

inline std::vector<Segment> iccChunks(const std::string& jpeg)
{
    std::vector<Segment> chunks;
    for (const Segment& s : headerSegments(jpeg)) {
        if (s.marker == 0xE2 && jpeg.compare(s.at + 4, 12, std::string("ICC_PROFILE\0", 12)) == 0)
            chunks.push_back(s);
    }
    return chunks;
}

// Everything written to standard output and standard error while body runs.
inline std::string captureBothStreams(const std::function<void()>& body)
{
    char name[] = "/tmp/quovix-streams-XXXXXX";
    const int fd = mkstemp(name);
    std::fflush(stdout);
    std::fflush(stderr);
    const int out = dup(STDOUT_FILENO);
    const int err = dup(STDERR_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    close(out);
    close(err);
    close(fd);
    std::string text;
    if (FILE* f = std::fopen(name, "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    unlink(name);
    return text;
}

// Edits a file's metadata through Exiv2, as a camera or editor would have left it.
inline void editMetadata(const std::string& path, const std::function<void(Exiv2::Image&)>& edit)
{
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    edit(*image);
    image->writeMetadata();
}

// The metadata Exiv2 reads from a file.
struct Metadata {
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;

    // The value as text; "<absent>" when the key is not there.
    std::string exifText(const std::string& key) const
    {
        auto pos = exif.findKey(Exiv2::ExifKey(key));
        return pos == exif.end() ? "<absent>" : pos->toString();
    }
    std::string xmpText(const std::string& key) const
    {
        auto pos = xmp.findKey(Exiv2::XmpKey(key));
        return pos == xmp.end() ? "<absent>" : pos->toString();
    }
    // How many EXIF entries belong to the group ("Thumbnail", "Canon", ...).
    int groupCount(const std::string& group) const
    {
        int n = 0;
        for (const auto& d : exif)
            n += d.groupName() == group ? 1 : 0;
        return n;
    }
};

inline Metadata readMetadata(const std::string& path)
{
    Metadata m;
    Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
    image->readMetadata();
    m.exif = image->exifData();
    m.xmp = image->xmpData();
    m.iptc = image->iptcData();
    return m;
}

namespace detail {
inline int& libtiffMessageCount()
{
    static int count = 0;
    return count;
}
inline void countLibtiffMessage(const char*, const char*, va_list) { ++libtiffMessageCount(); }
} // namespace detail

// Warnings and errors libtiff (the reader of tiffinfo and ImageMagick) gives
// while it reads a TIFF whole: its first directory, every strip, and the Exif
// and GPS directories it points to. -1 when the file does not open.
inline int libtiffComplaints(const std::string& path)
{
    detail::libtiffMessageCount() = 0;
    const TIFFErrorHandler warnings = TIFFSetWarningHandler(detail::countLibtiffMessage);
    const TIFFErrorHandler errors = TIFFSetErrorHandler(detail::countLibtiffMessage);
    int count = -1;
    if (TIFF* tiff = TIFFOpen(path.c_str(), "r")) {
        std::vector<unsigned char> strip(static_cast<size_t>(TIFFStripSize(tiff)));
        for (tstrip_t s = 0; s < TIFFNumberOfStrips(tiff); ++s) {
            if (TIFFReadEncodedStrip(tiff, s, strip.data(), static_cast<tmsize_t>(strip.size())) < 0)
                ++detail::libtiffMessageCount();
        }
        toff_t exif = 0, gps = 0;
        const bool hasExif = TIFFGetField(tiff, TIFFTAG_EXIFIFD, &exif) == 1;
        const bool hasGps = TIFFGetField(tiff, TIFFTAG_GPSIFD, &gps) == 1;
        if (hasExif && !TIFFReadEXIFDirectory(tiff, exif))
            ++detail::libtiffMessageCount();
        if (hasGps && !TIFFReadGPSDirectory(tiff, gps))
            ++detail::libtiffMessageCount();
        TIFFClose(tiff);
        count = detail::libtiffMessageCount();
    }
    TIFFSetWarningHandler(warnings);
    TIFFSetErrorHandler(errors);
    return count;
}

// What `exiftool -validate -warning` reports of the files beyond "Validate:
// OK", each complaint after the name of its file: empty when it finds nothing
// wrong. One run for all files (its start-up is most of its time).
inline std::string exiftoolComplaints(const std::vector<std::string>& paths)
{
    std::string command = "exiftool -validate -warning -a -s2";
    for (const std::string& path : paths)
        command += " '" + path + "'";
    std::string text;
    if (FILE* pipe = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            text.append(buffer, n);
        pclose(pipe);
    }
    std::string complaints;
    std::string file = paths.size() == 1 ? paths[0] : std::string();
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.rfind("======== ", 0) == 0)
            file = line.substr(9);
        else if (line != "Validate: OK" && line.find("image files read") == std::string::npos)
            complaints += file + ": " + line + "\n";
    }
    return complaints + text.substr(start);
}

} // namespace metadata_samples
