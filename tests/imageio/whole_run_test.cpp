// Whole runs of the built program on generated RAW and JPEG inputs: the
// converter and the JPEG codec as the fusion sees them.
#include "dng_writer.h"
#include "image_samples.h"
#include "imageio/format_detect.h"
#include "imageio/jpeg_io.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct RgbaImage {
    uint32_t width = 0, height = 0;
    uint16_t samples = 0, bits = 0;
    std::vector<uint8_t> data;
};

RgbaImage readTiff8(const std::string& path)
{
    RgbaImage img;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (tif == nullptr)
        return img;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &img.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &img.height);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &img.samples);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &img.bits);
    img.data.resize(size_t(img.width) * img.height * img.samples);
    for (uint32_t y = 0; y < img.height; ++y)
        TIFFReadScanline(tif, img.data.data() + size_t(y) * img.width * img.samples, y, 0);
    TIFFClose(tif);
    return img;
}

double meanColour(const RgbaImage& img)
{
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < img.data.size(); ++i) {
        if (img.samples == 4 && i % 4 == 3)
            continue;
        sum += img.data[i];
        ++n;
    }
    return n ? sum / double(n) : 0.0;
}

class WholeRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fileExists(QUOVIX_BIN))
            GTEST_SKIP() << "quovix binary not built";
        temp = dir.file("tmp");
        std::filesystem::create_directory(temp);
    }
    CommandResult run(const std::vector<std::string>& args)
    {
        return runQuovix(args, dir.path(), {"TMPDIR=" + temp});
    }
    // Everything below the private temporary folder after a run.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::recursive_directory_iterator(temp, ec))
            if (e.is_regular_file())
                names.push_back(e.path().string());
        return names;
    }
    TempDir dir;
    std::string temp;
};

TEST_F(WholeRunTest, RawBracketFusesThroughTheConverter)
{
    if (!programOnPath("dcraw"))
        GTEST_SKIP() << "dcraw is not installed on PATH: RAW fusion test skipped";
    const std::vector<double> exposures = {0.35, 1.0, 2.8};
    std::vector<std::string> inputs;
    for (size_t i = 0; i < exposures.size(); ++i) {
        inputs.push_back(dir.file("shot" + std::to_string(i) + ".dng"));
        ASSERT_TRUE(writeTestDng(inputs.back(), {64, 48, exposures[i]}));
    }
    std::vector<samples::FileSnapshot> before;
    for (const auto& in : inputs)
        before.push_back(samples::snapshot(in));

    std::vector<std::string> args = {"-o", "fused.tif"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    CommandResult r = run(args);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Converting RAW file..."), std::string::npos);

    RgbaImage fused = readTiff8(dir.file("fused.tif"));
    ASSERT_EQ(fused.width, 64u);
    ASSERT_EQ(fused.height, 48u);
    ASSERT_EQ(fused.samples, 4);
    ASSERT_EQ(fused.bits, 8);
    // The fusion stays within the brightness range of the single conversions
    // (the converter brightens each file by itself, so they lie close).
    double lo = 255.0, hi = 0.0;
    for (size_t i = 0; i < inputs.size(); ++i) {
        std::string single = "single" + std::to_string(i) + ".tif";
        CommandResult one = run({"-o", single, "-p", "1", inputs[i]});
        ASSERT_EQ(one.exitCode, 0) << one.output;
        double m = meanColour(readTiff8(dir.file(single)));
        lo = std::min(lo, m);
        hi = std::max(hi, m);
    }
    const double mean = meanColour(fused);
    EXPECT_GE(mean, lo - 1.0);
    EXPECT_LE(mean, hi + 1.0);
    EXPECT_GT(hi - lo, 5.0) << "the bracket should differ in brightness";

    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_TRUE(samples::snapshot(inputs[i]) == before[i]) << "input modified: " << inputs[i];
        std::string produced = inputs[i].substr(0, inputs[i].rfind('.')) + ".tiff";
        EXPECT_FALSE(fileExists(produced)) << "converter output left beside the input";
    }
    EXPECT_TRUE(leftovers().empty()) << "scratch files left: " << leftovers().front();
}

TEST_F(WholeRunTest, JpegInputsAndJpegOutputNames)
{
    for (int i = 0; i < 2; ++i)
        writeFile(dir.file("in" + std::to_string(i) + ".jpg"), samples::encodeSampleJpeg(40, 30, 3, JCS_RGB, 95));

    // A name containing ".JPG" ends as a real JPEG at the -j quality.
    CommandResult r = run({"-o", "out.JPG", "-j", "80", "in0.jpg", "in1.jpg"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_EQ(isJpegFile(dir.file("out.JPG")), 1);
    int w = 0, h = 0, components = 0, bits = 0;
    ASSERT_EQ(readJpegHeader(dir.file("out.JPG"), w, h, components, bits), 0);
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 30);
    EXPECT_EQ(components, 3);

    // ".Jpg" is none of the JPEG extensions: the output stays an 8-bit TIFF.
    r = run({"-o", "out.Jpg", "in0.jpg", "in1.jpg"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(isTiffFile(dir.file("out.Jpg")), 1);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(WholeRunTest, CorruptJpegInputEndsTheRunWithoutOutput)
{
    std::string good = samples::encodeSampleJpeg(40, 30, 3, JCS_RGB, 90);
    writeFile(dir.file("good.jpg"), good);
    writeFile(dir.file("cut.jpg"), good.substr(0, good.size() / 2));
    CommandResult r = run({"-o", "out.tif", "good.jpg", "cut.jpg"});
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_NE(r.output.find("Error reading input JPEG file data"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(dir.file("out.tif")));
    EXPECT_TRUE(leftovers().empty());
}

} // namespace
