#include "imageio/format_detect.h"
#include "imageio/tiff_io.h"
#include "image_samples.h"
#include "support/scratch_files.h"
#include "support/settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

namespace {

using samples::SampleTiff;

class FormatDetectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSettings();
        setenv("TMPDIR", dir.path().c_str(), 1);
        resetScratchFolders();
    }
    void TearDown() override
    {
        unsetenv("TMPDIR");
        resetScratchFolders();
        resetSettings();
    }
    TempDir dir;
};

TEST(FormatNames, ImageNamesAreSubstringsAnywhere)
{
    EXPECT_EQ(isNamedImageFile("a.tif"), 1);
    EXPECT_EQ(isNamedImageFile("A.TIFF"), 1);
    EXPECT_EQ(isNamedImageFile("b.JPEG"), 1);
    EXPECT_EQ(isNamedImageFile("a.tif.bak"), 1);
    EXPECT_EQ(isNamedImageFile("/photos/x.jpg/IMG_0001.CR2"), 1);
    // Mixed case matches none of the eight spellings: treated as camera RAW.
    EXPECT_EQ(isNamedImageFile("shot.Jpg"), 0);
    EXPECT_EQ(isNamedImageFile("IMG_0001.CR2"), 0);
    EXPECT_EQ(isNamedImageFile("tif"), 0);
}

TEST_F(FormatDetectTest, MagicBytesDecideTheFormat)
{
    std::string ii = dir.file("ii"), mm = dir.file("mm"), big = dir.file("big"), jpg = dir.file("j");
    writeFile(ii, std::string("II*\0rest", 8));
    writeFile(mm, std::string("MM\0*rest", 8));
    writeFile(big, std::string("II+\0\x08\0\0\0", 8));
    writeFile(jpg, std::string("\xFF\xD8\xFF\xE0", 4));
    EXPECT_EQ(isTiffFile(ii), 1);
    EXPECT_EQ(isTiffFile(mm), 1);
    EXPECT_EQ(isTiffFile(big), 0);
    EXPECT_EQ(isBigTiffFile(big), 1);
    EXPECT_EQ(isBigTiffFile(ii), 0);
    EXPECT_EQ(isJpegFile(jpg), 1);
    EXPECT_EQ(isJpegFile(ii), 0);
    EXPECT_EQ(isTiffFile(jpg), 0);
}

TEST_F(FormatDetectTest, UnreadableStartsEndTheRun)
{
    std::string missing = dir.file("missing.tif");
    EXPECT_EXIT_PRINTS(isTiffFile(missing), 1, "Error: Cannot open file: .*missing\\.tif\n");

    std::string empty = dir.file("empty.tif"), one = dir.file("one.jpg"), three = dir.file("three.tif");
    writeFile(empty, "");
    writeFile(one, "\xFF");
    writeFile(three, "II*");
    int w, b;
    ImageRegion r;
    EXPECT_EXIT_PRINTS(queryImageInfo(empty, r, w, b), 255, "Error: getFirstBytes: Cannot read from file$");
    EXPECT_EXIT_PRINTS(queryImageInfo(one, r, w, b), 255, "Error: getFirstBytes: Cannot read from file$");
    // Two bytes pass the JPEG test; the TIFF test needs four.
    EXPECT_EXIT_PRINTS(queryImageInfo(three, r, w, b), 255, "Error: getFirstBytes: Cannot read from file$");
}

TEST_F(FormatDetectTest, NeitherFormatAndBigTiffInputsAreUnknown)
{
    std::string text = dir.file("notes.tif");
    writeFile(text, "plain text, not an image");
    std::string big = dir.file("big.tif");
    SampleTiff sample;
    sample.bigTiff = true;
    samples::writeSampleTiff(big, sample);
    int w, b;
    ImageRegion r;
    EXPECT_EXIT_PRINTS(queryImageInfo(text, r, w, b), 255, "^Unknown image file format\n$");
    EXPECT_EXIT_PRINTS(queryImageInfo(big, r, w, b), 255, "^Unknown image file format\n$");

    // The export reads the program's own BigTIFF output.
    queryImageInfo(big, r, w, b, true);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(r.width, 4);
}

TEST_F(FormatDetectTest, OwnBigTiffScratchFilesAreReadable)
{
    gSettings.bigTiff = true;
    gCanvas = ImageRegion{0, 0, 5, 2};
    std::vector<uint16_t> weights(10, 777);
    std::string path = scratchName(dir.file("in.tif"), "e", 0);
    ASSERT_EQ(writeTiffImage(path, weights.data(), 5, 2, 2, 0, nullptr), 0);
    ASSERT_EQ(isBigTiffFile(path), 1);
    ImageRegion r;
    int bytesPerPixel = 0, bits = 0;
    queryImageInfo(path, r, bytesPerPixel, bits);
    EXPECT_EQ(bytesPerPixel, 2);
    EXPECT_EQ(bits, 16);
    std::vector<uint16_t> back(10, 0);
    readImage(path, back.data());
    EXPECT_EQ(back, weights);
}

TEST_F(FormatDetectTest, TiffLayoutAndOffsetAreReported)
{
    struct Case { uint16_t samples, bits; int bytesPerPixel; };
    for (Case c : {Case{3, 16, 6}, Case{4, 8, 4}, Case{1, 8, 1}, Case{1, 16, 2}, Case{4, 16, 8}, Case{3, 8, 3}}) {
        SampleTiff sample;
        sample.samples = c.samples;
        sample.bits = c.bits;
        sample.photometric = c.samples == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB;
        sample.position = true;
        sample.xPosition = 37.0f / 300.0f;
        sample.yPosition = 5.0f / 300.0f;
        std::string path = dir.file("layout.tif");
        samples::writeSampleTiff(path, sample);
        ImageRegion r;
        int bytesPerPixel = 0, bits = 0;
        queryImageInfo(path, r, bytesPerPixel, bits);
        EXPECT_EQ(bytesPerPixel, c.bytesPerPixel) << c.samples << "x" << c.bits;
        EXPECT_EQ(bits, c.bits);
        EXPECT_EQ(r.width, 4);
        EXPECT_EQ(r.height, 3);
        EXPECT_EQ(r.x, 37);
        EXPECT_EQ(r.y, 5);
    }
}

TEST_F(FormatDetectTest, ContentWinsOverTheName)
{
    // A JPEG named .tif is read as JPEG, a TIFF named .jpg as TIFF.
    std::string jpegAsTif = dir.file("photo.tif");
    writeFile(jpegAsTif, samples::encodeSampleJpeg(9, 7, 3, JCS_RGB, 90));
    std::string tiffAsJpg = dir.file("scan.jpg");
    SampleTiff sample;
    sample.samples = 4;
    samples::writeSampleTiff(tiffAsJpg, sample);

    ImageRegion r;
    int bytesPerPixel = 0, bits = 0;
    queryImageInfo(jpegAsTif, r, bytesPerPixel, bits);
    EXPECT_EQ(r.width, 9);
    EXPECT_EQ(r.height, 7);
    EXPECT_EQ(bytesPerPixel, 3);
    queryImageInfo(tiffAsJpg, r, bytesPerPixel, bits);
    EXPECT_EQ(r.width, 4);
    EXPECT_EQ(bytesPerPixel, 4);
    std::vector<unsigned char> pixels(4 * 3 * 4);
    readImage(tiffAsJpg, pixels.data());
    EXPECT_EQ(pixels, samples::rampPixels(sample));
}

TEST_F(FormatDetectTest, GreyAndCmykJpegsReportTheirComponents)
{
    std::string grey = dir.file("grey.jpg"), cmyk = dir.file("cmyk.jpg");
    writeFile(grey, samples::encodeSampleJpeg(8, 8, 1, JCS_GRAYSCALE, 90));
    writeFile(cmyk, samples::encodeSampleJpeg(8, 8, 4, JCS_CMYK, 90));
    ImageRegion r;
    int bytesPerPixel = 0, bits = 0;
    queryImageInfo(grey, r, bytesPerPixel, bits);
    EXPECT_EQ(bytesPerPixel, 1);
    EXPECT_EQ(bits, 8);
    queryImageInfo(cmyk, r, bytesPerPixel, bits);
    EXPECT_EQ(bytesPerPixel, 4);
}

TEST_F(FormatDetectTest, TiffsTheReaderWouldMisreadAreRefused)
{
    struct Case { const char* name; SampleTiff sample; const char* reason; };
    std::vector<Case> cases;
    SampleTiff s;
    s.planar = PLANARCONFIG_SEPARATE;
    cases.push_back({"planes.tif", s, "separate colour planes"});
    s = SampleTiff{};
    s.tiled = true;
    cases.push_back({"tiled.tif", s, "tiled"});
    s = SampleTiff{};
    s.sampleFormat = SAMPLEFORMAT_IEEEFP;
    s.bits = 32;
    cases.push_back({"float.tif", s, "unsigned integer"});
    s = SampleTiff{};
    s.sampleFormat = SAMPLEFORMAT_INT;
    s.bits = 16;
    cases.push_back({"signed.tif", s, "unsigned integer"});
    s = SampleTiff{};
    s.bits = 32;
    cases.push_back({"deep.tif", s, "32 bits per sample"});
    s = SampleTiff{};
    s.samples = 1;
    s.bits = 1;
    s.photometric = PHOTOMETRIC_MINISBLACK;
    cases.push_back({"bilevel.tif", s, "1 bits per sample"});
    s = SampleTiff{};
    s.samples = 2;
    s.photometric = PHOTOMETRIC_MINISBLACK;
    cases.push_back({"greyalpha.tif", s, "2 samples per pixel"});
    s = SampleTiff{};
    s.samples = 4;
    s.photometric = PHOTOMETRIC_SEPARATED;
    cases.push_back({"cmyk.tif", s, "photometric interpretation 5"});
    s = SampleTiff{};
    s.samples = 1;
    s.photometric = PHOTOMETRIC_PALETTE;
    cases.push_back({"palette.tif", s, "photometric interpretation 3"});

    for (const Case& c : cases) {
        std::string path = dir.file(c.name);
        samples::writeSampleTiff(path, c.sample);
        ImageRegion r;
        int w, b;
        std::string pattern = std::string("Unsupported image file .*") + c.name + ": .*" + c.reason;
        EXPECT_EXIT_PRINTS(queryImageInfo(path, r, w, b), 255, pattern) << c.name;
        std::vector<unsigned char> buffer(4096);
        EXPECT_EXIT_PRINTS(readImage(path, buffer.data()), 255, pattern) << c.name;
    }
}

TEST_F(FormatDetectTest, HugeClaimedDimensionsAreRefusedBeforeAnyAllocation)
{
    std::string path = dir.file("huge.tif");
    writeFile(path, samples::handMadeGreyTiff(100000, 100000, 0));
    ImageRegion r;
    int w, b;
    EXPECT_EXIT_PRINTS(queryImageInfo(path, r, w, b), 255, "huge\\.tif: dimensions 100000x100000 out of range");
}

TEST_F(FormatDetectTest, QueriesNeverTouchTheInput)
{
    std::string tif = dir.file("keep.tif"), jpg = dir.file("keep.jpg");
    SampleTiff sample;
    sample.compression = COMPRESSION_LZW;
    samples::writeSampleTiff(tif, sample);
    writeFile(jpg, samples::encodeSampleJpeg(16, 8, 3, JCS_RGB, 80));
    auto beforeTif = samples::snapshot(tif), beforeJpg = samples::snapshot(jpg);
    ImageRegion r;
    int w, b;
    queryImageInfo(tif, r, w, b);
    queryImageInfo(jpg, r, w, b);
    std::vector<unsigned char> buffer(16 * 8 * 3);
    readImage(tif, buffer.data());
    readImage(jpg, buffer.data());
    EXPECT_TRUE(samples::snapshot(tif) == beforeTif);
    EXPECT_TRUE(samples::snapshot(jpg) == beforeJpg);
}

} // namespace
