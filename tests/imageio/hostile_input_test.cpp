// Files made to cost the program more than they hold: image data missing or
// far too short for the declared size (TIFF strips, JPEG scans, each codec at
// its best ratio), refused while inputs are classified, while genuine files
// near those ratios still pass; and a JPEG decoder that runs out of memory
// ends the run as out of memory, not as a damaged file.
#include "imageio/image_reader.h"

#include "image_samples.h"
#include "resource_limits.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using samples::failedWith;

// A classic little-endian grey 8-bit TIFF built by hand, directory first, so
// that the strip table may say anything: `counts` bytes per strip (the
// default a full strip), `offsetEntries` entries in the offset and count
// tables, and only `storedBytes` of data actually in the file.
struct ForgedTiff {
    uint32_t width = 16, height = 16, rowsPerStrip = 16;
    uint16_t compression = COMPRESSION_NONE;
    std::vector<uint32_t> counts;
    uint32_t offsetEntries = 0;  // 0: as many as the strips need
    uint32_t storedBytes = 0;

    std::string bytes() const
    {
        std::string out;
        auto put16 = [&](uint32_t v) { out.push_back(char(v & 0xFF)); out.push_back(char((v >> 8) & 0xFF)); };
        auto put32 = [&](uint32_t v) { put16(v & 0xFFFF); put16(v >> 16); };
        const uint32_t strips = offsetEntries != 0 ? offsetEntries : (height + rowsPerStrip - 1) / rowsPerStrip;
        std::vector<uint32_t> sizes = counts;
        sizes.resize(strips, width * rowsPerStrip);
        const uint32_t tableAt = 8 + 2 + 8 * 12 + 4;
        const uint32_t dataAt = strips == 1 ? tableAt : tableAt + 8 * strips;  // one strip: no tables
        out += "II";
        put16(42);
        put32(8);
        put16(8);
        auto entry = [&](uint32_t tag, uint32_t type, uint32_t count, uint32_t value) {
            put16(tag); put16(type); put32(count); put32(value);
        };
        entry(256, 4, 1, width);
        entry(257, 4, 1, height);
        entry(258, 3, 1, 8);
        entry(259, 3, 1, compression);
        entry(262, 3, 1, PHOTOMETRIC_MINISBLACK);
        entry(273, 4, strips, strips == 1 ? dataAt : tableAt);
        entry(278, 4, 1, rowsPerStrip);
        entry(279, 4, strips, strips == 1 ? sizes[0] : tableAt + 4 * strips);
        put32(0);
        if (strips > 1) {
            uint32_t at = dataAt;
            for (uint32_t s = 0; s < strips; ++s) {
                put32(at);
                at += sizes[s];
            }
            for (uint32_t s = 0; s < strips; ++s)
                put32(sizes[s]);
        }
        for (uint32_t i = 0; i < storedBytes; ++i)
            out.push_back(char((i * 13) & 0xFF));
        return out;
    }
};

class HostileInputTest : public FreshSettingsTest {
protected:
    Status query(const std::string& path)
    {
        ImageInfo info;
        return queryImageInfo(run, path, info);
    }
    Status queryForged(const std::string& name, const ForgedTiff& tiff)
    {
        writeFile(dir.file(name), tiff.bytes());
        return query(dir.file(name));
    }
    std::string refusal(const std::string& name, const std::string& reason)
    {
        return "Unsupported image file " + dir.file(name) + ": " + reason + "\n";
    }
    TempDir dir;
};

TEST_F(HostileInputTest, TiffStripsMissingOrTooShortAreRefused)
{
    ForgedTiff tiff;
    tiff.rowsPerStrip = 4;
    tiff.counts = {64, 64, 0, 64};
    tiff.storedBytes = 192;
    EXPECT_TRUE(failedWith(queryForged("empty-strip.tif", tiff), -1, refusal("empty-strip.tif", "strip 2 missing")));
    // Fewer strips in the table than the rows need.
    tiff = ForgedTiff();
    tiff.rowsPerStrip = 4;
    tiff.offsetEntries = 2;
    tiff.storedBytes = 128;
    EXPECT_TRUE(failedWith(queryForged("few-strips.tif", tiff), -1, refusal("few-strips.tif", "strip 2 missing")));

    // Uncompressed: every byte of the image must be there. (libtiff itself
    // recomputes the count of a lone uncompressed strip that looks wrong.)
    tiff = ForgedTiff();
    tiff.width = tiff.height = 4000;
    tiff.rowsPerStrip = 1000;
    tiff.counts.assign(4, 64);
    tiff.storedBytes = 256;
    EXPECT_TRUE(failedWith(queryForged("short.tif", tiff), -1,
                           refusal("short.tif", "strip 0 too short for 4000x4000 pixels (truncated or damaged)")));

    // LZW at best turns a byte into 2731: 200 bytes cannot hold 1000 rows of
    // 16000 pixels. The later strips are whole; the first short one is named.
    tiff = ForgedTiff();
    tiff.width = tiff.height = 16000;
    tiff.rowsPerStrip = 1000;
    tiff.compression = COMPRESSION_LZW;
    tiff.counts.assign(16, 6000);
    tiff.counts[3] = 200;
    tiff.storedBytes = 15 * 6000 + 200;
    EXPECT_TRUE(failedWith(queryForged("lzw.tif", tiff), -1,
                           refusal("lzw.tif", "strip 3 too short for 16000x16000 pixels (truncated or damaged)")));

    // A strip whose data ends past the end of the file.
    tiff = ForgedTiff();
    tiff.storedBytes = 200;
    EXPECT_TRUE(failedWith(queryForged("cut.tif", tiff), -1, refusal("cut.tif", "strip 0 lies outside the file")));
}

TEST_F(HostileInputTest, GenuineFilesNearTheirCodecsBestRatioAreRead)
{
    // Flat 4000 x 400 images: LZW and Deflate squeeze them far below the
    // ratios the check allows for forged ones, yet they are whole.
    for (uint16_t compression : {uint16_t(COMPRESSION_LZW), uint16_t(COMPRESSION_ADOBE_DEFLATE)}) {
        samples::SampleTiff flat;
        flat.width = 4000;
        flat.height = 400;
        flat.samples = 1;
        flat.photometric = PHOTOMETRIC_MINISBLACK;
        flat.compression = compression;
        const std::string path = dir.file("flat-" + std::to_string(compression) + ".tif");
        samples::writeSampleTiff(path, flat, std::vector<unsigned char>(1600000, 7));
        ImageInfo info;
        ASSERT_TRUE(queryImageInfo(run, path, info).ok()) << compression;
        std::vector<unsigned char> pixels(1600000, 0);
        ASSERT_TRUE(readImage(run, path, info, pixels.data()).ok()) << compression;
        EXPECT_EQ(std::count(pixels.begin(), pixels.end(), 7), 1600000) << compression;
    }
}

// A JPEG of `pixels`, encoded with arithmetic coding when asked.
std::string encode(const std::vector<unsigned char>& pixels, int width, int height, bool arithmetic, bool progressive)
{
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* memory = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &memory, &size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    c.arith_code = arithmetic ? TRUE : FALSE;
    if (progressive)
        jpeg_simple_progression(&c);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(&pixels[size_t(c.next_scanline) * width * 3]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::string bytes(reinterpret_cast<char*>(memory), size);
    free(memory);
    return bytes;
}

// The photograph of examples/crusader/1.jpeg, decoded (used where the
// sanitizer allows a memory cap).
[[maybe_unused]] std::vector<unsigned char> crusaderPixels(int& width, int& height)
{
    ImageInfo info;
    TestRun reader;
    const std::string path = sourceDir() + "/examples/crusader/1.jpeg";
    EXPECT_TRUE(queryImageInfo(*reader, path, info).ok());
    width = info.region.width;
    height = info.region.height;
    std::vector<unsigned char> pixels(size_t(width) * height * 3);
    EXPECT_TRUE(readImage(*reader, path, info, pixels.data()).ok());
    return pixels;
}

TEST_F(HostileInputTest, ArithmeticJpegScanTooSmallForItsSizeIsRefused)
{
    // Arithmetic coding may spend far less than a bit per block on a flat
    // image: a genuine 2048 x 2048 one passes, below a Huffman scan's floor.
    const std::string flat = dir.file("flat.jpg");
    writeFile(flat, encode(std::vector<unsigned char>(2048 * 2048 * 3, 90), 2048, 2048, true, false));
    ASSERT_LT(readFile(flat).size(), 256u * 256u / 8u);
    ImageInfo info;
    ASSERT_TRUE(queryImageInfo(run, flat, info).ok());
    EXPECT_EQ(info.region.width, 2048);

    // The same header claiming 16000 x 16000 over a scan of a few bytes.
    std::string jpeg = encode(std::vector<unsigned char>(64 * 64 * 3, 90), 64, 64, true, false);
    const size_t sof = jpeg.find("\xFF\xC9", 2);
    ASSERT_NE(sof, std::string::npos);
    for (size_t at : {sof + 5, sof + 7}) {
        jpeg[at] = char(16000 >> 8);
        jpeg[at + 1] = char(16000 & 0xFF);
    }
    const size_t sos = jpeg.find("\xFF\xDA", sof);
    ASSERT_NE(sos, std::string::npos);
    const size_t scan = sos + 2 + ((uint8_t(jpeg[sos + 2]) << 8) | uint8_t(jpeg[sos + 3]));
    writeFile(dir.file("forged.jpg"), jpeg.substr(0, scan + 8) + "\xFF\xD9");
    EXPECT_TRUE(failedWith(query(dir.file("forged.jpg")), -1,
                           refusal("forged.jpg", "file too small for 16000x16000 pixels (truncated or damaged)")));
}

#if !defined(__SANITIZE_ADDRESS__)
TEST_F(HostileInputTest, JpegDecoderOutOfMemoryEndsAsOutOfMemory)
{
    // A progressive JPEG keeps every coefficient of the photograph until the
    // last scan: about 9 MB the decoder cannot get under the cap.
    int width = 0, height = 0;
    const std::vector<unsigned char> photo = crusaderPixels(width, height);
    const std::string path = dir.file("progressive.jpg");
    writeFile(path, encode(photo, width, height, false, true));
    ImageInfo info;
    ASSERT_TRUE(queryImageInfo(run, path, info).ok());
    std::vector<unsigned char> pixels(size_t(width) * height * 3);

    bool capped = false;
    samples::Printed p = samples::printedBy([&] {
        AddressSpaceCap cap;
        capped = cap.applied();
        return readImage(run, path, info, pixels.data());
    });
    ASSERT_TRUE(capped);
    EXPECT_TRUE(failedWith(p.status, kExitNoMemory, "Insufficient memory available to continue")) << p.output;
    EXPECT_EQ(p.output, "Error allocating memory in the JPEG decoder\n");

    // With memory to spare the same file decodes.
    EXPECT_TRUE(readImage(run, path, info, pixels.data()).ok());
}
#endif

} // namespace
