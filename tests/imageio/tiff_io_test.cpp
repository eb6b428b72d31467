#include "imageio/format_detect.h"
#include "imageio/tiff_io.h"
#include "image_samples.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

namespace {

using samples::SampleTiff;

class TiffIoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSettings();
        resetResourceCounters();
        gCanvas = ImageRegion{0, 0, 0, 0};
    }
    void TearDown() override
    {
        resetSettings();
        unsetenv("QVXTRACE");
        resetDebugLog();
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
        for (int code : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_DEFLATE, COMPRESSION_PACKBITS}) {
            for (int bpp : {1, 2, 3, 4, 6, 8}) {
                gSettings.bigTiff = big;
                gSettings.tiffCompression = code;
                auto pixels = patternBytes(size_t(width) * height * bpp);
                const auto original = pixels;
                std::string path = dir.file("layout.tif");
                ASSERT_EQ(writeTiffImage(path, pixels.data(), width, height, bpp, 0, &region), 0);
                EXPECT_EQ(pixels, original) << "the caller's buffer is never modified";
                SCOPED_TRACE(testing::Message() << "big " << big << " code " << code << " bpp " << bpp);

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
                EXPECT_EQ(t.compression, code);
                const bool predicted = t.bits == 8 && (code == COMPRESSION_LZW || code == COMPRESSION_DEFLATE);
                EXPECT_EQ(t.hasPredictor, predicted);
                if (predicted) {
                    EXPECT_EQ(t.predictor, PREDICTOR_HORIZONTAL);
                }
                EXPECT_EQ(t.region.x, 37);
                EXPECT_EQ(t.region.y, 5);
                EXPECT_EQ(t.region.width, width);
                EXPECT_EQ(t.region.height, height);

                std::vector<unsigned char> back(pixels.size(), 0);
                ASSERT_EQ(readImage(path, back.data()), 0);
                EXPECT_EQ(back, original);
            }
        }
    }
}

TEST_F(TiffIoTest, LaplacianOffsetAddsToColourSamplesOnly)
{
    gCanvas = ImageRegion{150, 0, 3, 1};
    const int16_t in[12] = {0, -8192, 0x7FFF, 123, -1, 100, -9000, -32768, 16383, 5, 6, 0x4000};
    int16_t copy[12];
    std::memcpy(copy, in, sizeof in);
    std::string path = dir.file("l.tif");
    ASSERT_EQ(writeTiffImage(path, copy, 3, 1, 8, 1, nullptr), 0);
    EXPECT_EQ(std::memcmp(copy, in, sizeof in), 0);
    uint16_t back[12];
    readImage(path, back);
    const uint16_t expected[12] = {8192, 0, 0x9FFF, 123, 8191, 8292, uint16_t(-808), 32768, 24575, 8197, 8198, 0x4000};
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(back[i], expected[i]) << i;
    // Region none takes the canvas; x = 150 is stored as 0.5 inch.
    Tags t = readTags(path);
    EXPECT_EQ(t.xPosition, 0.5f);
    EXPECT_EQ(t.region.x, 150);
}

TEST_F(TiffIoTest, LaplacianOffsetNeedsSixteenBitRgba)
{
    unsigned char pixels[4] = {1, 2, 3, 4};
    std::string path = dir.file("bad.tif");
    EXPECT_EXIT_PRINTS(writeTiffImage(path, pixels, 1, 1, 4, 1, nullptr), 1,
                       "^Fatal Error: Unsupported bit shift operation\n\n$");
}

TEST_F(TiffIoTest, WorkPixelsNarrowToEightBits)
{
    gCanvas = ImageRegion{3, 4, 3, 2};
    gSettings.tiffCompression = COMPRESSION_DEFLATE;
    const WorkPixel in[6] = {{16320, -5, 16400, 0x4000}, {100, 63, 64, 0},      {32767, -32768, 127, 1},
                             {0, 0, 0, -1},              {8000, 8191, 8192, 5}, {6399, 6400, 6463, 0}};
    std::string path = dir.file("w8.tif");
    ASSERT_EQ(writeTiffWork8(path, in, 3, 2), 0);
    unsigned char back[24];
    readImage(path, back);
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
    gSettings.tiffCompression = COMPRESSION_LZW;
    const WorkPixel in[2] = {{16320, 16383, 0, -1}, {-5, 1, 0x4000, 0}};
    std::string path = dir.file("w16.tif");
    ASSERT_EQ(writeTiffWork16(path, in, 2, 1), 0);
    uint16_t back[8];
    readImage(path, back);
    const uint16_t expected[8] = {65280, 65532, 0, 65535, 65516, 4, 0, 0};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(back[i], expected[i]) << i;
    Tags t = readTags(path);
    EXPECT_EQ(t.bits, 16);
    EXPECT_FALSE(t.hasPredictor) << "16-bit files never get a predictor";
    EXPECT_EQ(t.compression, COMPRESSION_LZW);
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
    gSettings.tiffCompression = COMPRESSION_NONE;
    unsigned char px[3] = {1, 2, 3};
    std::string path = dir.file("none.tif");
    ASSERT_EQ(writeTiffImage(path, px, 1, 1, 3, 0, nullptr), 0);
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
    std::string missing = dir.file("missing.tif");
    EXPECT_EXIT_PRINTS(openTiff(missing, "r"), 255,
                       "Couldn't open TIFF file: .*missing\\.tif"
                       "Cannot open TIFF file for r: .*missing\\.tif$");
    // Folders that do not exist and names longer than the system allows fail
    // the same way instead of being cut.
    EXPECT_EXIT_PRINTS(openTiff(dir.file("no/such/folder.tif"), "w"), 255, "Cannot open TIFF file for w: ");
    EXPECT_EXIT_PRINTS(openTiff(dir.file(std::string(300, 'n') + ".tif"), "W"), 255,
                       "Cannot open TIFF file for W: .*nnnn\\.tif$");
}

TEST_F(TiffIoTest, PlantedLinkIsNotFollowed)
{
    std::string victim = dir.file("victim.txt");
    writeFile(victim, "precious");
    std::string link = dir.file("scratch.tif");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    unsigned char px[1] = {9};
    EXPECT_EXIT_PRINTS(writeTiffImage(link, px, 1, 1, 1, 0, nullptr), 255, "Cannot open TIFF file for w: ");
    EXPECT_EQ(readFile(victim), "precious");
}

TEST_F(TiffIoTest, TraceLinesAndDebugLog)
{
    std::string log = dir.file("trace.log");
    setenv("QVXTRACE", log.c_str(), 1);
    resetDebugLog();
    gSettings.traceResources = true;
    gSettings.bigTiff = true;
    std::vector<WorkPixel> px(6, WorkPixel{64, 64, 64, 0x4000});
    std::string a = dir.file("a.tif");
    testing::internal::CaptureStdout();
    writeTiffWork8(a, px.data(), 3, 2);
    std::vector<unsigned char> back(24);
    readImage(a, back.data());
    std::string out = testing::internal::GetCapturedStdout();
    gSettings.traceResources = false;

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
    std::string path = dir.file("cut.tif");
    writeFile(path, samples::handMadeGreyTiff(8, 8, 5));
    auto before = samples::snapshot(path);
    ImageRegion r;
    int bpp, bits;
    queryImageInfo(path, r, bpp, bits);
    EXPECT_EQ(r.width, 8);
    std::vector<unsigned char> buffer(64);
    EXPECT_EXIT_PRINTS(readImage(path, buffer.data()), 255, "Error reading scanline 5\n$");
    EXPECT_TRUE(samples::snapshot(path) == before);
}

TEST_F(TiffIoTest, FailedWriteReportsTheRowAndReturns)
{
    // A file-size limit makes the disk "full" part way through the image.
    std::string path = dir.file("big.tif");
    std::vector<unsigned char> pixels = patternBytes(size_t(256) * 256 * 3);
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit;
            limit.rlim_cur = limit.rlim_max = 20000;
            setrlimit(RLIMIT_FSIZE, &limit);
            gSettings.tiffCompression = COMPRESSION_NONE;
            int result = writeTiffImage(path, pixels.data(), 256, 256, 3, 0, nullptr);
            std::printf("result %d\n", result);
            std::exit(result == -1 ? 3 : 4);
        },
        ::testing::ExitedWithCode(3), "Error writing scanline [0-9]+\nresult -1\n$");
}

} // namespace
