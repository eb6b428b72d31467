#include "imageio/tiff_io.h"

#include "analysis/work_files.h"
#include "image_samples.h"
#include "imageio/image_reader.h"
#include "support/console.h"
#include "support/memory.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <type_traits>
#include <vector>

namespace {

using samples::failedWith;
using samples::SampleTiff;

class TiffIoTest : public FreshSettingsTest {
protected:
    // Reads a file the program wrote (BigTIFF included) back whole.
    void readBack(const std::string& path, void* buffer)
    {
        ImageInfo info;
        Status status = queryImageInfo(run, path, info, true);
        ASSERT_TRUE(status.ok()) << status.consoleText();
        status = readImage(run, path, info, buffer);
        ASSERT_TRUE(status.ok()) << status.consoleText();
    }
    TempDir dir;
};

struct Tags {
    uint16_t planar = 0, photometric = 0, bits = 0, samples = 0, compression = 0, predictor = 0;
    uint32_t rowsPerStrip = 0;
    uint16_t extraCount = 0, extraValue = 0;
    bool hasPredictor = false;
    ImageRegion region;
    float xPosition = -1.0f;
    bool bigTiff = false;
};

Tags readTags(const std::string& path)
{
    Tags t;
    TIFF* tiff = TIFFOpen(path.c_str(), "r");
    EXPECT_NE(tiff, nullptr);
    if (tiff == nullptr)
        return t;
    TIFFGetField(tiff, TIFFTAG_PLANARCONFIG, &t.planar);
    TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &t.photometric);
    TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &t.bits);
    TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &t.samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &t.compression);
    t.hasPredictor = TIFFGetField(tiff, TIFFTAG_PREDICTOR, &t.predictor) != 0;
    TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &t.rowsPerStrip);
    uint16_t* extra = nullptr;
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &t.extraCount, &extra) && t.extraCount > 0)
        t.extraValue = extra[0];
    TIFFGetField(tiff, TIFFTAG_XPOSITION, &t.xPosition);
    t.bigTiff = TIFFIsBigTIFF(tiff) != 0;
    readTiffRegion(tiff, t.region);
    TIFFClose(tiff);
    return t;
}

std::vector<unsigned char> patternBytes(size_t n)
{
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<unsigned char>((i * 37 + i / 7) & 0xFF);
    return v;
}

TEST_F(TiffIoTest, EveryLayoutRoundTripsUnderEveryCompressionClassicAndBig)
{
    const int width = 45, height = 70;  // more than two strips of 32 rows
    const ImageRegion region{37, 5, width, height};
    for (bool big : {false, true}) {
        for (Compression code : {Compression::None, Compression::Lzw, Compression::Deflate, Compression::PackBits}) {
            for (int bpp : {1, 2, 3, 4, 6, 8}) {
                settings.bigTiff = big;
                settings.compression = code;
                auto pixels = patternBytes(size_t(width) * height * bpp);
                const auto original = pixels;
                std::string path = dir.file("layout.tif");
                SCOPED_TRACE(testing::Message() << "big " << big << " code " << int(code) << " bpp " << bpp);
                Status status = writeTiffImage(run, path, pixels.data(), TiffLayout{width, height, bpp, region});
                ASSERT_TRUE(status.ok()) << status.consoleText();
                EXPECT_EQ(pixels, original) << "the caller's buffer is never modified";

                Tags t = readTags(path);
                const int samples = (bpp == 1 || bpp == 2) ? 1 : (bpp == 3 || bpp == 6) ? 3 : 4;
                EXPECT_EQ(t.bigTiff, big);
                EXPECT_EQ(t.planar, PLANARCONFIG_CONTIG);
                EXPECT_EQ(t.rowsPerStrip, 32u);
                EXPECT_EQ(t.photometric, samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
                EXPECT_EQ(t.samples, samples);
                EXPECT_EQ(t.bits, (bpp == 2 || bpp == 6 || bpp == 8) ? 16 : 8);
                EXPECT_EQ(t.extraCount, samples == 4 ? 1 : 0);
                if (samples == 4) {
                    EXPECT_EQ(t.extraValue, EXTRASAMPLE_UNASSALPHA);
                }
                EXPECT_EQ(t.compression, static_cast<int>(code));
                const bool predicted =
                    t.bits == 8 && (code == Compression::Lzw || code == Compression::Deflate);
                EXPECT_EQ(t.hasPredictor, predicted);
                if (predicted) {
                    EXPECT_EQ(t.predictor, PREDICTOR_HORIZONTAL);
                }
                EXPECT_EQ(t.region.x, 37);
                EXPECT_EQ(t.region.y, 5);
                EXPECT_EQ(t.region.width, width);
                EXPECT_EQ(t.region.height, height);

                std::vector<unsigned char> back(pixels.size(), 0);
                readBack(path, back.data());
                EXPECT_EQ(back, original);
            }
        }
    }
}

// Level files hold WorkPixels only: the writer takes no other buffer type,
// so a byte image can no longer be offset as if it were 16-bit RGBA.
static_assert(!std::is_invocable_v<decltype(&writeLaplacianFile), RunContext&, const std::string&,
                                   const unsigned char*, int, int, const ImageRegion&>);

TEST_F(TiffIoTest, LaplacianOffsetAddsToColourSamplesOnly)
{
    const int16_t in[12] = {0, -8192, 0x7FFF, 123, -1, 100, -9000, -32768, 16383, 5, 6, 0x4000};
    WorkPixel copy[3];
    std::memcpy(copy, in, sizeof in);
    std::string path = dir.file("l.tif");
    ASSERT_TRUE(writeLaplacianFile(run, path, copy, 3, 1, ImageRegion{150, 0, 3, 1}).ok());
    EXPECT_EQ(std::memcmp(copy, in, sizeof in), 0);
    uint16_t back[12];
    readBack(path, back);
    const uint16_t expected[12] = {8192, 0, 0x9FFF, 123, 8191, 8292, uint16_t(-808), 32768, 24575, 8197, 8198, 0x4000};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(back[i], expected[i]) << i;
    // x = 150 is stored as 0.5 inch; the file is 16-bit RGBA.
    Tags t = readTags(path);
    EXPECT_EQ(t.xPosition, 0.5f);
    EXPECT_EQ(t.region.x, 150);
    EXPECT_EQ(t.bits, 16);
    EXPECT_EQ(t.samples, 4);

    // Reading back and removing the offset restores the level exactly.
    WorkPixel level[3];
    std::memcpy(level, back, sizeof back);
    removeLaplacianOffset(level, 3);
    EXPECT_EQ(std::memcmp(level, in, sizeof in), 0);
}

TEST_F(TiffIoTest, WorkPixelsNarrowToEightBits)
{
    settings.compression = Compression::Deflate;
    const WorkPixel in[6] = {{16320, -5, 16400, 0x4000}, {100, 63, 64, 0},      {32767, -32768, 127, 1},
                             {0, 0, 0, -1},              {8000, 8191, 8192, 5}, {6399, 6400, 6463, 0}};
    std::string path = dir.file("w8.tif");
    ASSERT_TRUE(writeWorkFile8(run, path, in, 3, 2, ImageRegion{3, 4, 3, 2}).ok());
    unsigned char back[24];
    readBack(path, back);
    const unsigned char expected[24] = {255, 0, 255, 255, 1, 0, 1, 0,   255, 0,  1,   255,
                                        0,   0, 0,   255, 125, 127, 128, 255, 99, 100, 100, 0};
    EXPECT_EQ(std::memcmp(back, expected, 24), 0);
    Tags t = readTags(path);
    EXPECT_EQ(t.samples, 4);
    EXPECT_EQ(t.bits, 8);
    EXPECT_TRUE(t.hasPredictor);
    EXPECT_EQ(t.region.x, 3);
    EXPECT_EQ(t.region.y, 4);
}

TEST_F(TiffIoTest, WorkPixelsWidenToSixteenBits)
{
    settings.compression = Compression::Lzw;
    const WorkPixel in[2] = {{16320, 16383, 0, -1}, {-5, 1, 0x4000, 0}};
    std::string path = dir.file("w16.tif");
    ASSERT_TRUE(writeWorkFile16(run, path, in, 2, 1, ImageRegion{0, 0, 2, 1}).ok());
    uint16_t back[8];
    readBack(path, back);
    const uint16_t expected[8] = {65280, 65532, 0, 65535, 65516, 4, 0, 0};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(back[i], expected[i]) << i;
    Tags t = readTags(path);
    EXPECT_EQ(t.bits, 16);
    EXPECT_FALSE(t.hasPredictor) << "16-bit files never get a predictor";
    EXPECT_EQ(t.compression, COMPRESSION_LZW);
}

TEST_F(TiffIoTest, RawLaplacianKeepsSignedSamplesWithoutPredictor)
{
    settings.compression = Compression::Lzw;
    const WorkPixel in[2] = {{-8192, 8191, -1, 0x4000}, {0, -32768, 32767, 0}};
    std::string path = dir.file("raw.tif");
    ASSERT_TRUE(writeRawLaplacian(run, path, in, 2, 1, ImageRegion{0, 0, 2, 1}).ok());
    WorkPixel back[2];
    readBack(path, back);
    EXPECT_EQ(std::memcmp(back, in, sizeof in), 0);
    EXPECT_FALSE(readTags(path).hasPredictor);
}

TEST_F(TiffIoTest, PositionRoundingAddsJustUnderOneHalf)
{
    struct Case { float position; int expected; };
    for (Case c : {Case{12.51f, 13}, Case{12.50f, 12}, Case{0.0f, 0}}) {
        SampleTiff sample;
        sample.position = true;
        sample.xResolution = 1.0f;
        sample.yResolution = 2.0f;
        sample.xPosition = c.position;
        sample.yPosition = c.position;
        std::string path = dir.file("pos.tif");
        samples::writeSampleTiff(path, sample);
        Tags t = readTags(path);
        EXPECT_EQ(t.region.x, c.expected) << c.position;
        EXPECT_EQ(t.region.y, int(double(2.0f * c.position) + 0.49)) << c.position;
    }
    SampleTiff plain;
    std::string path = dir.file("plain.tif");
    samples::writeSampleTiff(path, plain);
    Tags t = readTags(path);
    EXPECT_EQ(t.region.x, 0);
    EXPECT_EQ(t.region.y, 0);
}

TEST_F(TiffIoTest, UncompressedWritesCarryNoPredictor)
{
    settings.compression = Compression::None;
    unsigned char px[3] = {1, 2, 3};
    std::string path = dir.file("none.tif");
    ASSERT_TRUE(writeTiffImage(run, path, px, TiffLayout{1, 1, 3, ImageRegion{}}).ok());
    Tags t = readTags(path);
    EXPECT_EQ(t.compression, COMPRESSION_NONE);
    EXPECT_FALSE(t.hasPredictor);
    std::string bytes = readFile(path);
    uint32_t ifd = 0;
    std::memcpy(&ifd, bytes.data() + 4, 4);
    uint16_t count = 0;
    std::memcpy(&count, bytes.data() + ifd, 2);
    for (uint16_t i = 0; i < count; ++i) {
        uint16_t tag = 0;
        std::memcpy(&tag, bytes.data() + ifd + 2 + 12 * i, 2);
        EXPECT_NE(tag, TIFFTAG_PREDICTOR);
    }
}

TEST_F(TiffIoTest, OpenFailureReportsModeAndPath)
{
    struct Case { std::string path; const char* mode; };
    const std::string missing = dir.file("missing.tif");
    // Folders that do not exist and names longer than the system allows fail
    // the same way instead of being cut.
    for (const Case& c : {Case{missing, "r"}, Case{dir.file("no/such/folder.tif"), "w"},
                          Case{dir.file(std::string(300, 'n') + ".tif"), "W"}}) {
        SCOPED_TRACE(c.mode);
        static char notAFile;
        TIFF* tiff = reinterpret_cast<TIFF*>(&notAFile);  // a failed open must clear it
        samples::Printed p = samples::printedBy([&] { return openTiff(run, c.path, c.mode, tiff); });
        EXPECT_TRUE(failedWith(p.status, -1, std::string("Cannot open TIFF file for ") + c.mode + ": " + c.path));
        EXPECT_EQ(p.output, "Couldn't open TIFF file: " + c.path);
        EXPECT_EQ(tiff, nullptr);
    }
    EXPECT_FALSE(fileExists(missing)) << "a read never creates the file";
}

TEST_F(TiffIoTest, PlantedLinkIsNotFollowed)
{
    std::string victim = dir.file("victim.txt");
    writeFile(victim, "precious");
    std::string link = dir.file("scratch.tif");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    unsigned char px[1] = {9};
    samples::Printed p = samples::printedBy([&] { return writeTiffImage(run, link, px, TiffLayout{1, 1, 1, {}}); });
    EXPECT_TRUE(failedWith(p.status, -1, "Cannot open TIFF file for w: " + link));
    EXPECT_EQ(readFile(victim), "precious");
}

TEST_F(TiffIoTest, TraceLinesAndDebugLog)
{
    std::string log = dir.file("trace.log");
    Options options = testOptions(testRun_.dir().path());
    options.debugLogPath = log;
    options.traceResources = true;
    options.bigTiff = true;
    testRun_.reset(options);
    std::vector<WorkPixel> px(6, WorkPixel{64, 64, 64, 0x4000});
    std::string a = dir.file("a.tif");
    testing::internal::CaptureStdout();
    Status written = writeWorkFile8(run, a, px.data(), 3, 2, ImageRegion{0, 0, 3, 2});
    std::vector<unsigned char> back(24);
    ImageInfo info;
    info.format = FileFormat::BigTiff;
    Status read = readImage(run, a, info, back.data());
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(written.ok()) << written.consoleText();
    ASSERT_TRUE(read.ok()) << read.consoleText();

    std::regex expected("File\\|" + a + "\\|open\\(W\\)\\|0x[0-9a-f]+\n"
                        "Mem\\|0\\|alloc\\|0x[0-9a-f]+\\|24\n"
                        "File\\|0\\|close\\|0x[0-9a-f]+\n"
                        "Mem\\|0\\|free\\|0x[0-9a-f]+\n"
                        "File\\|" + a + "\\|open\\(r\\)\\|0x[0-9a-f]+\n"
                        "File\\|1\\|close\\|0x[0-9a-f]+\n");
    EXPECT_TRUE(std::regex_match(out, expected)) << out;
    std::string text = readFile(log);
    EXPECT_NE(text.find("--> Opening (w): " + a + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("--> setTiffSamplesPerPixel: 4\n"), std::string::npos);
    EXPECT_NE(text.find("--> Setting dimensions: 3x2\n"), std::string::npos);
    EXPECT_EQ(text.find("Opening (w): " + a, text.find("Setting dimensions")), std::string::npos)
        << "reading logs nothing";
}

TEST_F(TiffIoTest, TruncatedTiffStopsAtTheFirstMissingRow)
{
    // A file whose last strips lie past its end is refused when classified.
    std::string path = dir.file("cut.tif");
    writeFile(path, samples::handMadeGreyTiff(8, 8, 5));
    auto before = samples::snapshot(path);
    ImageInfo info;
    EXPECT_TRUE(failedWith(queryImageInfo(run, path, info),
                           -1, "Unsupported image file " + path + ": strip 5 lies outside the file\n"));

    // One cut short after it was classified stops at its first missing row.
    writeFile(path, samples::handMadeGreyTiff(8, 8, 8));
    ASSERT_TRUE(queryImageInfo(run, path, info).ok());
    EXPECT_EQ(info.region.width, 8);
    writeFile(path, samples::handMadeGreyTiff(8, 8, 5));
    before = samples::snapshot(path);
    std::vector<unsigned char> buffer(64);
    run.console.setTracing(true);
    samples::Printed p = samples::printedBy([&] { return readImage(run, path, info, buffer.data()); });
    EXPECT_TRUE(failedWith(p.status, -1, "Error reading scanline 5\n"));
    EXPECT_NE(p.output.find("File|0|close|"), std::string::npos) << "the file is closed: " << p.output;
    EXPECT_TRUE(samples::snapshot(path) == before);
}

// A striped TIFF of noisy gradients, as other programs write inputs.
void writeInputTiff(const std::string& path, int width, int height, int bits, int compression, bool predictor,
                    int rowsPerStrip)
{
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    if (predictor)
        TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    const size_t rowBytes = static_cast<size_t>(width) * 3 * bits / 8;
    std::vector<uint8_t> image(rowBytes * height);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>((i % rowBytes) / 5 + (i / rowBytes) * 3 + (i * 2654435761u >> 28));
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
    for (int y = 0; y < height; ++y)
        ASSERT_EQ(TIFFWriteScanline(tiff, &image[y * rowBytes], static_cast<uint32_t>(y), 0), 1);
    TIFFClose(tiff);
}

// Inputs are decoded strip by strip on the workers; the image, and the
// error of a damaged one, must be those of reading row by row on one thread.
TEST_F(TiffIoTest, InputsDecodedOnTheWorkersMatchRowByRowReading)
{
    struct Layout {
        const char* name;
        int bits, compression;
        bool predictor;
        int rowsPerStrip;
    };
    const Layout layouts[] = {
        {"16-bit LZW, predictor, one row per strip", 16, COMPRESSION_LZW, true, 1},
        {"8-bit LZW, 7 rows per strip", 8, COMPRESSION_LZW, false, 7},
        {"16-bit Deflate, predictor", 16, COMPRESSION_ADOBE_DEFLATE, true, 16},
        {"8-bit PackBits", 8, COMPRESSION_PACKBITS, false, 5},
        {"16-bit uncompressed", 16, COMPRESSION_NONE, false, 3},
        {"8-bit LZW, one strip (read on one thread)", 8, COMPRESSION_LZW, false, 45},
    };
    const int width = 61, height = 45;
    TestRun three(3);
    for (const Layout& l : layouts) {
        const std::string path = dir.file("in.tif");
        writeInputTiff(path, width, height, l.bits, l.compression, l.predictor, l.rowsPerStrip);
        const size_t bytes = static_cast<size_t>(width) * height * 3 * l.bits / 8;
        std::vector<uint8_t> rowByRow(bytes);
        TIFF* tiff = TIFFOpen(path.c_str(), "r");
        ASSERT_NE(tiff, nullptr);
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(TIFFReadScanline(tiff, &rowByRow[bytes / height * y], static_cast<uint32_t>(y), 0), 1) << l.name;
        TIFFClose(tiff);
        for (bool damaged : {false, true}) {
            if (damaged) {
                // Bytes flipped in the middle of the data.
                std::string data = readFile(path);
                for (size_t k = data.size() / 2; k < data.size() / 2 + 40; ++k)
                    data[k] = static_cast<char>(data[k] ^ 0xA5);
                writeFile(path, data);
            }
            ImageInfo info;
            ASSERT_TRUE(queryImageInfo(run, path, info).ok()) << l.name;
            std::vector<uint8_t> one(bytes, 1), many(bytes, 2);
            const Status a = readImage(run, path, info, one.data());
            const Status b = readImage(*three, path, info, many.data());
            EXPECT_EQ(a.ok(), b.ok()) << l.name << (damaged ? ", damaged" : "");
            EXPECT_EQ(a.consoleText(), b.consoleText()) << l.name << (damaged ? ", damaged" : "");
            if (!damaged) {
                EXPECT_TRUE(a.ok() && one == rowByRow) << l.name;
                EXPECT_TRUE(b.ok() && many == rowByRow) << l.name;
            }
        }
    }
}

TEST_F(TiffIoTest, FailedWriteReportsTheRowAndEndsTheRun)
{
    // A file-size limit makes the disk "full" part way through the image.
    settings.compression = Compression::None;
    std::string path = dir.file("big.tif");
    std::vector<unsigned char> pixels = patternBytes(size_t(256) * 256 * 3);
    samples::Printed p;
    {
        samples::FileSizeLimit limit(20000);
        ASSERT_TRUE(limit.active());
        p = samples::printedBy([&] { return writeTiffImage(run, path, pixels.data(), TiffLayout{256, 256, 3, {}}); });
    }
    // A scratch file that cannot be written ends the run, naming file and reason.
    EXPECT_TRUE(failedWith(p.status, -1, "Cannot write TIFF file " + path + ": File too large\n"));
    EXPECT_EQ(p.status.unwrittenFile(), path);
    std::smatch row;
    ASSERT_TRUE(std::regex_match(p.output, row, std::regex("Error writing scanline ([0-9]+)\n"))) << p.output;
    // 20000 bytes hold 26 rows of 768; the failing row lies past them.
    EXPECT_GE(std::stoi(row[1]), 20000 / 768);
    EXPECT_LT(std::stoi(row[1]), 256);
}

} // namespace
