#include "imageio/image_reader.h"

#include "image_samples.h"
#include "imageio/tiff_io.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using samples::failedWith;
using samples::SampleTiff;

class ImageReaderTest : public FreshSettingsTest {
protected:
    // Classifies a file that must be readable.
    ImageInfo infoOf(const std::string& path, bool acceptBigTiff = false)
    {
        ImageInfo info;
        Status status = queryImageInfo(run, path, info, acceptBigTiff);
        EXPECT_TRUE(status.ok()) << path << ": " << status.consoleText();
        return info;
    }
    Status query(const std::string& path)
    {
        ImageInfo info;
        return queryImageInfo(run, path, info);
    }
    TempDir dir;
};

TEST_F(ImageReaderTest, UnreadableStartsEndTheRun)
{
    std::string missing = dir.file("missing.tif");
    EXPECT_TRUE(failedWith(query(missing), 1, "Error: Cannot open file: " + missing + "\n"));

    std::string empty = dir.file("empty.tif"), one = dir.file("one.jpg"), three = dir.file("three.tif");
    writeFile(empty, "");
    writeFile(one, "\xFF");
    writeFile(three, "II*");
    // Two bytes pass the JPEG test; the TIFF test needs four.
    for (const std::string& path : {empty, one, three}) {
        ImageInfo info;
        info.known = true;
        EXPECT_TRUE(failedWith(queryImageInfo(run, path, info), -1, "Error: getFirstBytes: Cannot read from file"))
            << path;
        EXPECT_FALSE(info.known) << "a failed query leaves no classification";
    }
}

TEST_F(ImageReaderTest, NeitherFormatAndBigTiffInputsAreUnknown)
{
    std::string text = dir.file("notes.tif");
    writeFile(text, "plain text, not an image");
    std::string big = dir.file("big.tif");
    SampleTiff sample;
    sample.bigTiff = true;
    samples::writeSampleTiff(big, sample);
    std::string out = captureOutput([&] {
        EXPECT_TRUE(failedWith(query(text), -1, "Unknown image file format\n"));
        EXPECT_TRUE(failedWith(query(big), -1, "Unknown image file format\n"));
    });
    EXPECT_EQ(out, "");

    // The export reads the program's own BigTIFF output.
    ImageInfo info = infoOf(big, true);
    EXPECT_TRUE(info.known);
    EXPECT_EQ(info.format, FileFormat::BigTiff);
    EXPECT_EQ(info.bytesPerPixel, 3);
    EXPECT_EQ(info.region.width, 4);
    EXPECT_EQ(info.region.height, 3);
    std::vector<unsigned char> pixels(4 * 3 * 3);
    ASSERT_TRUE(readImage(run, big, info, pixels.data()).ok());
    EXPECT_EQ(pixels, samples::rampPixels(sample));

    // A format the reader has no decoder for is refused, whatever the file holds.
    info.format = FileFormat::Raw;
    EXPECT_TRUE(failedWith(readImage(run, big, info, pixels.data()), -1, "Unknown image file format\n"));
    info.format = FileFormat::Unknown;
    EXPECT_TRUE(failedWith(readImage(run, big, info, pixels.data()), -1, "Unknown image file format\n"));
}

TEST_F(ImageReaderTest, OwnBigTiffScratchFilesAreReadable)
{
    settings.bigTiff = true;
    std::vector<uint16_t> weights(10, 777);
    ASSERT_TRUE(run.scratch.ensureRunFolder().ok());
    std::string path = run.scratch.scratchName(dir.file("in.tif"), "e", 0);
    ASSERT_TRUE(writeTiffImage(run, path, weights.data(), TiffLayout{5, 2, 2, ImageRegion{0, 0, 5, 2}}).ok());
    FileFormat format = FileFormat::Unknown;
    ASSERT_TRUE(detectFormat(path, format).ok());
    ASSERT_EQ(format, FileFormat::BigTiff);
    ImageInfo info = infoOf(path);
    EXPECT_EQ(info.format, FileFormat::BigTiff);
    EXPECT_EQ(info.bytesPerPixel, 2);
    EXPECT_EQ(info.bitsPerSample, 16);
    std::vector<uint16_t> back(10, 0);
    ASSERT_TRUE(readImage(run, path, info, back.data()).ok());
    EXPECT_EQ(back, weights);
}

TEST_F(ImageReaderTest, TiffLayoutAndOffsetAreReported)
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
        ImageInfo info = infoOf(path);
        EXPECT_TRUE(info.known);
        EXPECT_EQ(info.format, FileFormat::Tiff);
        EXPECT_EQ(info.bytesPerPixel, c.bytesPerPixel) << c.samples << "x" << c.bits;
        EXPECT_EQ(info.bitsPerSample, c.bits);
        EXPECT_EQ(info.region.width, 4);
        EXPECT_EQ(info.region.height, 3);
        EXPECT_EQ(info.region.x, 37);
        EXPECT_EQ(info.region.y, 5);
    }
}

TEST_F(ImageReaderTest, PositionsFarOffTheCanvasAreRefused)
{
    SampleTiff sample;
    sample.position = true;
    sample.xPosition = 1.0e6f;  // 3e8 pixels at 300 per inch
    std::string path = dir.file("far.tif");
    samples::writeSampleTiff(path, sample);
    EXPECT_TRUE(failedWith(query(path), -1, "Unsupported image file " + path + ": position 300000000,0 out of range\n"));
}

TEST_F(ImageReaderTest, ContentWinsOverTheName)
{
    // A JPEG named .tif is read as JPEG, a TIFF named .jpg as TIFF.
    std::string jpegAsTif = dir.file("photo.tif");
    writeFile(jpegAsTif, samples::encodeSampleJpeg(9, 7, 3, JCS_RGB, 90));
    std::string tiffAsJpg = dir.file("scan.jpg");
    SampleTiff sample;
    sample.samples = 4;
    samples::writeSampleTiff(tiffAsJpg, sample);

    ImageInfo info = infoOf(jpegAsTif);
    EXPECT_EQ(info.format, FileFormat::Jpeg);
    EXPECT_EQ(info.region.width, 9);
    EXPECT_EQ(info.region.height, 7);
    EXPECT_EQ(info.bytesPerPixel, 3);
    EXPECT_EQ(info.bitsPerSample, 8);
    std::vector<unsigned char> decoded(9 * 7 * 3);
    EXPECT_TRUE(readImage(run, jpegAsTif, info, decoded.data()).ok());

    info = infoOf(tiffAsJpg);
    EXPECT_EQ(info.format, FileFormat::Tiff);
    EXPECT_EQ(info.region.width, 4);
    EXPECT_EQ(info.bytesPerPixel, 4);
    std::vector<unsigned char> pixels(4 * 3 * 4);
    ASSERT_TRUE(readImage(run, tiffAsJpg, info, pixels.data()).ok());
    EXPECT_EQ(pixels, samples::rampPixels(sample));
}

TEST_F(ImageReaderTest, GreyAndCmykJpegsReportTheirComponents)
{
    std::string grey = dir.file("grey.jpg"), cmyk = dir.file("cmyk.jpg");
    writeFile(grey, samples::encodeSampleJpeg(8, 8, 1, JCS_GRAYSCALE, 90));
    writeFile(cmyk, samples::encodeSampleJpeg(8, 8, 4, JCS_CMYK, 90));
    ImageInfo info = infoOf(grey);
    EXPECT_EQ(info.bytesPerPixel, 1);
    EXPECT_EQ(info.bitsPerSample, 8);
    info = infoOf(cmyk);
    EXPECT_EQ(info.bytesPerPixel, 4);
    EXPECT_EQ(info.bitsPerSample, 8);
}

TEST_F(ImageReaderTest, TiffsTheReaderWouldMisreadAreRefused)
{
    struct Case { const char* name; SampleTiff sample; const char* reason; };
    std::vector<Case> cases;
    SampleTiff s;
    s.planar = PLANARCONFIG_SEPARATE;
    cases.push_back({"planes.tif", s, "separate colour planes are not supported"});
    s = SampleTiff{};
    s.tiled = true;
    cases.push_back({"tiled.tif", s, "tiled TIFF files are not supported"});
    s = SampleTiff{};
    s.sampleFormat = SAMPLEFORMAT_IEEEFP;
    s.bits = 32;
    cases.push_back({"float.tif", s, "only unsigned integer samples are supported"});
    s = SampleTiff{};
    s.sampleFormat = SAMPLEFORMAT_INT;
    s.bits = 16;
    cases.push_back({"signed.tif", s, "only unsigned integer samples are supported"});
    s = SampleTiff{};
    s.bits = 32;
    cases.push_back({"deep.tif", s, "32 bits per sample (8 or 16 supported)"});
    s = SampleTiff{};
    s.samples = 1;
    s.bits = 1;
    s.photometric = PHOTOMETRIC_MINISBLACK;
    cases.push_back({"bilevel.tif", s, "1 bits per sample (8 or 16 supported)"});
    s = SampleTiff{};
    s.samples = 2;
    s.photometric = PHOTOMETRIC_MINISBLACK;
    cases.push_back({"greyalpha.tif", s, "2 samples per pixel (1, 3 or 4 supported)"});
    s = SampleTiff{};
    s.samples = 4;
    s.photometric = PHOTOMETRIC_SEPARATED;
    cases.push_back({"cmyk.tif", s, "photometric interpretation 5 (grey or RGB supported)"});
    s = SampleTiff{};
    s.samples = 1;
    s.photometric = PHOTOMETRIC_PALETTE;
    cases.push_back({"palette.tif", s, "photometric interpretation 3 (grey or RGB supported)"});

    // What the reader is handed: the classification of a good 4 x 3 RGB file
    // that has since been replaced by the refused one.
    ImageInfo good;
    good.known = true;
    good.format = FileFormat::Tiff;
    good.region = ImageRegion{0, 0, 4, 3};
    good.bytesPerPixel = 3;
    good.bitsPerSample = 8;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(c.name);
        samples::writeSampleTiff(path, c.sample);
        const std::string refusal = "Unsupported image file " + path + ": " + c.reason + "\n";
        EXPECT_TRUE(failedWith(query(path), -1, refusal));
        std::vector<unsigned char> buffer(4096, 0xAB);
        EXPECT_TRUE(failedWith(readImage(run, path, good, buffer.data()), -1, refusal));
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xAB), 4096) << "nothing is read into the buffer";
    }
}

TEST_F(ImageReaderTest, HugeClaimedDimensionsAreRefusedBeforeAnyAllocation)
{
    std::string path = dir.file("huge.tif");
    writeFile(path, samples::handMadeGreyTiff(100000, 100000, 0));
    run.console.setTracing(true);
    Status status;
    std::string out = captureOutput([&] { status = query(path); });
    EXPECT_TRUE(failedWith(status, -1, "Unsupported image file " + path + ": dimensions 100000x100000 out of range\n"));
    EXPECT_NE(out.find("File|" + path + "|open(r)|"), std::string::npos) << out;
    EXPECT_NE(out.find("File|0|close|"), std::string::npos) << "the refused file is closed: " << out;
    EXPECT_EQ(out.find("Mem|"), std::string::npos) << out;
}

TEST_F(ImageReaderTest, FileReplacedAfterClassificationIsNotReadIntoItsBuffer)
{
    // Each input is classified once; the reader checks the file still matches.
    std::string tif = dir.file("moving.tif");
    SampleTiff sample;
    samples::writeSampleTiff(tif, sample);
    ImageInfo info = infoOf(tif);
    SampleTiff wider = sample;
    wider.width = 40;
    samples::writeSampleTiff(tif, wider);
    std::vector<unsigned char> buffer(4 * 3 * 3 + 16, 0xAB);
    EXPECT_TRUE(failedWith(readImage(run, tif, info, buffer.data()), -1,
                           "Image file " + tif + " has changed since it was opened\n"));
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xAB), static_cast<long>(buffer.size()));
    // Same size, other layout: 16-bit samples would need twice the room.
    SampleTiff deeper = sample;
    deeper.bits = 16;
    samples::writeSampleTiff(tif, deeper);
    EXPECT_TRUE(failedWith(readImage(run, tif, info, buffer.data()), -1,
                           "Image file " + tif + " has changed since it was opened\n"));
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xAB), static_cast<long>(buffer.size()));

    std::string jpg = dir.file("moving.jpg");
    writeFile(jpg, samples::encodeSampleJpeg(8, 8, 3, JCS_RGB, 90));
    info = infoOf(jpg);
    writeFile(jpg, samples::encodeSampleJpeg(16, 8, 3, JCS_RGB, 90));
    std::vector<unsigned char> pixels(8 * 8 * 3 + 16, 0xAB);
    samples::Printed p = samples::printedBy([&] { return readImage(run, jpg, info, pixels.data()); });
    EXPECT_TRUE(failedWith(p.status, -1, "Error reading input JPEG file data\n"));
    EXPECT_EQ(p.output, "Image file " + jpg + " has changed since it was opened\n");
    EXPECT_EQ(std::count(pixels.begin(), pixels.end(), 0xAB), static_cast<long>(pixels.size()));
}

TEST_F(ImageReaderTest, QueriesNeverTouchTheInput)
{
    std::string tif = dir.file("keep.tif"), jpg = dir.file("keep.jpg");
    SampleTiff sample;
    sample.compression = COMPRESSION_LZW;
    samples::writeSampleTiff(tif, sample);
    writeFile(jpg, samples::encodeSampleJpeg(16, 8, 3, JCS_RGB, 80));
    auto beforeTif = samples::snapshot(tif), beforeJpg = samples::snapshot(jpg);
    const auto beforeFolder = samples::folderEntries(dir.path());
    ImageInfo tifInfo = infoOf(tif);
    ImageInfo jpgInfo = infoOf(jpg);
    std::vector<unsigned char> buffer(16 * 8 * 3);
    EXPECT_TRUE(readImage(run, tif, tifInfo, buffer.data()).ok());
    EXPECT_TRUE(readImage(run, jpg, jpgInfo, buffer.data()).ok());
    EXPECT_TRUE(samples::snapshot(tif) == beforeTif);
    EXPECT_TRUE(samples::snapshot(jpg) == beforeJpg);
    EXPECT_EQ(samples::folderEntries(dir.path()), beforeFolder);
}

} // namespace
