#include "imageio/png_io.h"

#include "icc_samples.h"
#include "image_samples.h"
#include "imageio/file_format.h"
#include "imageio/icc_profile.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace quovix;
using samples::failedWith;

namespace {

// Samples whose two bytes differ at 16 bits, so a swapped byte order shows.
std::vector<uint8_t> patternBytes(int width, int height, int channels, int bits)
{
    const size_t count = static_cast<size_t>(width) * height * channels;
    std::vector<uint8_t> bytes(count * (bits / 8));
    for (size_t k = 0; k < count; ++k) {
        if (bits == 8) {
            bytes[k] = static_cast<uint8_t>(k * 37 + 11);
        } else {
            const uint16_t v = static_cast<uint16_t>(k * 4099 + 258);
            std::memcpy(&bytes[k * 2], &v, 2);
        }
    }
    return bytes;
}

struct Decoded {
    Status status;
    ImageInfo info;
    std::vector<uint8_t> bytes;
};

Decoded decode(const std::string& path)
{
    Decoded d;
    d.status = readPngHeader(path, d.info);
    if (!d.status.ok())
        return d;
    d.bytes.assign(static_cast<size_t>(d.info.region.width) * d.info.region.height * d.info.bytesPerPixel, 0);
    d.status = readPng(path, d.info, d.bytes.data());
    return d;
}

// A PNG written straight with libpng, in layouts the program never writes:
// palettes, transparency chunks, depths below 8, interlacing. `rows` holds
// the packed rows as PNG stores them (16-bit big-endian).
struct ForeignPng {
    int width = 4, height = 3, depth = 8, colour = PNG_COLOR_TYPE_RGB;
    bool interlaced = false;
    std::vector<png_color> palette;
    std::vector<png_byte> paletteAlpha;    // tRNS of a palette
    int transparentGrey = -1;              // tRNS of a grey image
    std::vector<std::vector<uint8_t>> rows;
};

bool writeForeignPng(const std::string& path, const ForeignPng& p)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, p.width, p.height, p.depth, p.colour,
                 p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (!p.palette.empty())
        png_set_PLTE(png, info, p.palette.data(), static_cast<int>(p.palette.size()));
    if (!p.paletteAlpha.empty())
        png_set_tRNS(png, info, p.paletteAlpha.data(), static_cast<int>(p.paletteAlpha.size()), nullptr);
    if (p.transparentGrey >= 0) {
        png_color_16 grey{};
        grey.gray = static_cast<png_uint_16>(p.transparentGrey);
        png_set_tRNS(png, info, nullptr, 0, &grey);
    }
    png_write_info(png, info);
    std::vector<png_bytep> pointers;
    for (const auto& row : p.rows)
        pointers.push_back(const_cast<png_bytep>(row.data()));
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0;
}

// The first row of a PNG as stored, without any transform.
std::vector<uint8_t> storedFirstRow(const std::string& path)
{
    std::vector<uint8_t> row;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return row;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (!setjmp(png_jmpbuf(png))) {
        png_init_io(png, file);
        png_read_info(png, info);
        row.resize(png_get_rowbytes(png, info));
        png_read_row(png, row.data(), nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return row;
}

class PngIoTest : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(PngIoTest, WrittenLayoutsReadBackExactly)
{
    struct Case {
        int channels, bits, bytesPerPixel;
    };
    for (const Case c : {Case{1, 8, 1}, Case{3, 8, 3}, Case{4, 8, 4}, Case{1, 16, 2}, Case{3, 16, 6}, Case{4, 16, 8}}) {
        SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.bits) + " bits");
        const std::string path = dir.file("round.png");
        const int width = 13, height = 7;
        const std::vector<uint8_t> pixels = patternBytes(width, height, c.channels, c.bits);
        PngLayout layout;
        layout.width = width;
        layout.height = height;
        layout.channels = c.channels;
        layout.bits = c.bits;
        ASSERT_TRUE(writePng(path, pixels.data(), layout).ok());
        FileFormat format = FileFormat::Unknown;
        ASSERT_TRUE(detectFormat(path, format).ok());
        EXPECT_EQ(format, FileFormat::Png);
        const Decoded d = decode(path);
        ASSERT_TRUE(d.status.ok()) << d.status.consoleText();
        EXPECT_EQ(d.info.format, FileFormat::Png);
        EXPECT_EQ(d.info.region.width, width);
        EXPECT_EQ(d.info.region.height, height);
        EXPECT_EQ(d.info.bitsPerSample, c.bits);
        EXPECT_EQ(d.info.bytesPerPixel, c.bytesPerPixel);
        EXPECT_EQ(d.bytes, pixels);
        if (c.bits == 16) {
            // PNG stores 16-bit samples most significant byte first.
            const std::vector<uint8_t> stored = storedFirstRow(path);
            ASSERT_GE(stored.size(), 2u);
            EXPECT_EQ(stored[0], pixels[1]);
            EXPECT_EQ(stored[1], pixels[0]);
        }
    }
    // Rows further apart than their width (a region of a larger buffer); the
    // temporary file is gone once the PNG is in place.
    const int width = 5, height = 4, stride = 32;
    std::vector<uint8_t> padded(static_cast<size_t>(stride) * height, 0xEE);
    const std::vector<uint8_t> packed = patternBytes(width, height, 3, 8);
    for (int y = 0; y < height; ++y)
        std::memcpy(&padded[static_cast<size_t>(y) * stride], &packed[static_cast<size_t>(y) * width * 3], width * 3);
    PngLayout layout;
    layout.width = width;
    layout.height = height;
    layout.channels = 3;
    ASSERT_TRUE(writePng(dir.file("strided.png"), padded.data(), layout, stride).ok());
    EXPECT_EQ(decode(dir.file("strided.png")).bytes, packed);
    EXPECT_EQ(samples::folderEntries(dir.path()), (std::vector<std::string>{"round.png", "strided.png"}));
}

TEST_F(PngIoTest, ForeignLayoutsArriveAsStoredLayouts)
{
    // Grey with alpha becomes RGBA, as a TIFF's alpha reaches the fusion.
    ForeignPng greyAlpha;
    greyAlpha.width = 2;
    greyAlpha.height = 1;
    greyAlpha.colour = PNG_COLOR_TYPE_GRAY_ALPHA;
    greyAlpha.rows = {{10, 255, 200, 0}};
    ASSERT_TRUE(writeForeignPng(dir.file("ga.png"), greyAlpha));
    Decoded d = decode(dir.file("ga.png"));
    ASSERT_TRUE(d.status.ok()) << d.status.consoleText();
    EXPECT_EQ(d.info.bytesPerPixel, 4);
    EXPECT_EQ(d.bytes, (std::vector<uint8_t>{10, 10, 10, 255, 200, 200, 200, 0}));

    // A 2-bit palette with a transparency chunk: colours and alpha.
    ForeignPng palette;
    palette.width = 4;
    palette.height = 1;
    palette.depth = 2;
    palette.colour = PNG_COLOR_TYPE_PALETTE;
    palette.palette = {{1, 2, 3}, {40, 50, 60}, {200, 100, 0}, {255, 255, 255}};
    palette.paletteAlpha = {0, 128};  // entries 2 and 3 stay opaque
    palette.rows = {{0b00011011}};    // indices 0, 1, 2, 3
    ASSERT_TRUE(writeForeignPng(dir.file("palette.png"), palette));
    d = decode(dir.file("palette.png"));
    ASSERT_TRUE(d.status.ok()) << d.status.consoleText();
    EXPECT_EQ(d.info.bytesPerPixel, 4);
    EXPECT_EQ(d.info.bitsPerSample, 8);
    EXPECT_EQ(d.bytes, (std::vector<uint8_t>{1, 2, 3, 0, 40, 50, 60, 128, 200, 100, 0, 255, 255, 255, 255, 255}));

    // 1-bit grey spreads to 0 and 255.
    ForeignPng bilevel;
    bilevel.width = 8;
    bilevel.height = 1;
    bilevel.depth = 1;
    bilevel.colour = PNG_COLOR_TYPE_GRAY;
    bilevel.rows = {{0b10100001}};
    ASSERT_TRUE(writeForeignPng(dir.file("bilevel.png"), bilevel));
    d = decode(dir.file("bilevel.png"));
    ASSERT_TRUE(d.status.ok()) << d.status.consoleText();
    EXPECT_EQ(d.info.bytesPerPixel, 1);
    EXPECT_EQ(d.bytes, (std::vector<uint8_t>{255, 0, 255, 0, 0, 0, 0, 255}));

    // 16-bit grey with a transparent value: RGBA16, alpha 0 where it matches.
    ForeignPng keyed;
    keyed.width = 2;
    keyed.height = 1;
    keyed.depth = 16;
    keyed.colour = PNG_COLOR_TYPE_GRAY;
    keyed.transparentGrey = 0x1234;
    keyed.rows = {{0x12, 0x34, 0xAB, 0xCD}};
    ASSERT_TRUE(writeForeignPng(dir.file("keyed.png"), keyed));
    d = decode(dir.file("keyed.png"));
    ASSERT_TRUE(d.status.ok()) << d.status.consoleText();
    ASSERT_EQ(d.info.bytesPerPixel, 8);
    std::vector<uint16_t> samples16(8);
    std::memcpy(samples16.data(), d.bytes.data(), 16);
    EXPECT_EQ(samples16, (std::vector<uint16_t>{0x1234, 0x1234, 0x1234, 0, 0xABCD, 0xABCD, 0xABCD, 0xFFFF}));

    // An interlaced file reads as the same picture as a plain one.
    ForeignPng plain;
    plain.width = 11;
    plain.height = 9;
    plain.depth = 16;
    for (int y = 0; y < plain.height; ++y) {
        std::vector<uint8_t> row(plain.width * 6);
        for (size_t k = 0; k < row.size(); ++k)
            row[k] = static_cast<uint8_t>(y * 31 + k * 7);
        plain.rows.push_back(row);
    }
    ForeignPng interlaced = plain;
    interlaced.interlaced = true;
    ASSERT_TRUE(writeForeignPng(dir.file("plain.png"), plain));
    ASSERT_TRUE(writeForeignPng(dir.file("adam7.png"), interlaced));
    const Decoded a = decode(dir.file("plain.png")), b = decode(dir.file("adam7.png"));
    ASSERT_TRUE(a.status.ok() && b.status.ok()) << b.status.consoleText();
    EXPECT_EQ(a.info.bytesPerPixel, 6);
    EXPECT_EQ(a.bytes, b.bytes);
}

TEST_F(PngIoTest, DamagedOrChangedFilesAreRefusedByName)
{
    const int width = 64, height = 64;
    const std::vector<uint8_t> pixels = patternBytes(width, height, 3, 8);
    PngLayout layout;
    layout.width = width;
    layout.height = height;
    const std::string good = dir.file("good.png");
    ASSERT_TRUE(writePng(good, pixels.data(), layout).ok());
    const std::string bytes = readFile(good);

    // Cut inside the image data: the header reads, the pixels do not.
    const std::string cut = dir.file("cut.png");
    writeFile(cut, bytes.substr(0, bytes.size() / 2));
    ImageInfo info;
    ASSERT_TRUE(readPngHeader(cut, info).ok());
    std::vector<uint8_t> buffer(pixels.size());
    const Status read = readPng(cut, info, buffer.data());
    EXPECT_EQ(read.exitCode(), kExitIoError);
    EXPECT_EQ(read.consoleText().rfind("Error reading PNG file " + cut + ": ", 0), 0u) << read.consoleText();

    // A header claiming 60000x4000 pixels in a file of a few hundred bytes is
    // refused before a buffer of that size is made.
    std::string forged = bytes;
    const uint32_t bigWidth = 60000, bigHeight = 4000;
    const unsigned char ihdr[8] = {uint8_t(bigWidth >> 24), uint8_t(bigWidth >> 16), uint8_t(bigWidth >> 8),
                                   uint8_t(bigWidth),       uint8_t(bigHeight >> 24), uint8_t(bigHeight >> 16),
                                   uint8_t(bigHeight >> 8), uint8_t(bigHeight)};
    std::memcpy(&forged[16], ihdr, 8);
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(forged.data() + 12), 17));  // "IHDR" and its 13 bytes
    const unsigned char crcBytes[4] = {uint8_t(crc >> 24), uint8_t(crc >> 16), uint8_t(crc >> 8), uint8_t(crc)};
    std::memcpy(&forged[29], crcBytes, 4);
    const std::string huge = dir.file("huge.png");
    writeFile(huge, forged);
    EXPECT_TRUE(failedWith(readPngHeader(huge, info), kExitIoError,
                           "Unsupported image file " + huge + ": file too small for 60000x4000 pixels (truncated or "
                           "damaged)\n"));

    // Replaced by another picture between classification and reading.
    ASSERT_TRUE(readPngHeader(good, info).ok());
    layout.width = 32;
    ASSERT_TRUE(writePng(good, pixels.data(), layout).ok());
    EXPECT_TRUE(failedWith(readPng(good, info, buffer.data()), kExitIoError,
                           "Error reading PNG file " + good + ": the file changed while it was read\n"));

    // Not a PNG at all.
    const std::string text = dir.file("text.png");
    writeFile(text, "just some words, not a picture");
    const Status refused = readPngHeader(text, info);
    EXPECT_EQ(refused.exitCode(), kExitIoError);
    EXPECT_EQ(refused.consoleText().rfind("Unsupported image file " + text + ": ", 0), 0u) << refused.consoleText();
}

TEST_F(PngIoTest, ColourProfileTravelsAsIccChunk)
{
    const std::vector<unsigned char> profile = icc_samples::makeProfile();
    const std::vector<uint8_t> pixels = patternBytes(6, 5, 3, 16);
    PngLayout layout;
    layout.width = 6;
    layout.height = 5;
    layout.bits = 16;
    layout.iccProfile = &profile;
    layout.software = "Quovix test";
    const std::string path = dir.file("profiled.png");
    ASSERT_TRUE(writePng(path, pixels.data(), layout).ok());
    IccProfile read;
    ASSERT_TRUE(readIccProfile(path, read).ok());
    EXPECT_EQ(read, profile);
    EXPECT_EQ(decode(path).bytes, pixels);

    // An RGB profile cannot describe a grey PNG: the picture is written
    // without it, and the note says why.
    layout.channels = 1;
    const std::string grey = dir.file("grey.png");
    std::string note;
    const Status written = writePngRows(
        grey, layout, [&](int, unsigned char* out) {
            std::memset(out, 0x40, 12);
            return Status();
        },
        &note);
    ASSERT_TRUE(written.ok()) << written.consoleText();
    EXPECT_EQ(note.rfind("colour profile not carried into the PNG (", 0), 0u) << note;
    ASSERT_TRUE(readIccProfile(grey, read).ok());
    EXPECT_TRUE(read.empty());
    const Decoded d = decode(grey);
    ASSERT_TRUE(d.status.ok()) << d.status.consoleText();
    EXPECT_EQ(d.bytes, std::vector<uint8_t>(60, 0x40));

    // A row that cannot be made ends the file with that row's error.
    const Status failed = writePngRows(dir.file("failed.png"), layout, [](int row, unsigned char*) {
        return row == 2 ? Status::failure(kExitIoError, "row 2 lost\n") : Status();
    });
    EXPECT_TRUE(failedWith(failed, kExitIoError, "row 2 lost\n"));
}

} // namespace
