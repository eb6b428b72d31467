#include "imageio/format_detect.h"
#include "imageio/jpeg_io.h"
#include "imageio/tiff_io.h"
#include "image_samples.h"
#include "support/settings.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

namespace {

class JpegIoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSettings();
        gCanvas = ImageRegion{0, 0, 0, 0};
    }
    void TearDown() override { resetSettings(); }

    std::vector<std::string> folderEntries() const
    {
        std::vector<std::string> names;
        DIR* d = opendir(dir.path().c_str());
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                names.push_back(n);
        }
        closedir(d);
        return names;
    }
    TempDir dir;
};

std::vector<unsigned char> smoothRgb(int width, int height)
{
    std::vector<unsigned char> v(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* p = &v[(size_t(y) * width + x) * 3];
            p[0] = static_cast<unsigned char>(x * 4);
            p[1] = static_cast<unsigned char>(y * 4);
            p[2] = static_cast<unsigned char>(128);
        }
    return v;
}

// The library's own encode of packed RGB with defaults and forced baseline.
std::string referenceJpeg(const std::vector<unsigned char>& rgb, int width, int height, int quality)
{
    return samples::encodeJpeg(rgb, width, height, 3, JCS_RGB, quality);
}

TEST_F(JpegIoTest, WriteUsesLibraryDefaultsAtTheRunQualityAndReadsBack)
{
    const int width = 40, height = 23;  // odd height: a partial last MCU row
    auto rgb = smoothRgb(width, height);
    for (int quality : {90, 100, 20}) {
        gSettings.jpegQuality = quality;
        std::string path = dir.file("out.jpg");
        ASSERT_EQ(writeJpeg(path, rgb.data(), width, height), 0);
        EXPECT_EQ(readFile(path), referenceJpeg(rgb, width, height, quality)) << quality;

        int w = 0, h = 0, components = 0, bits = 0;
        ASSERT_EQ(readJpegHeader(path, w, h, components, bits), 0);
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        EXPECT_EQ(components, 3);
        EXPECT_EQ(bits, 8);
        std::vector<unsigned char> back(rgb.size() + 3, 0xEE);
        ASSERT_EQ(readJpeg(path, back.data()), 0);
        EXPECT_EQ(back[rgb.size()], 0xEE) << "no write past width x height x 3";
        if (quality == 100) {
            int worst = 0;
            for (size_t i = 0; i < rgb.size(); ++i)
                worst = std::max(worst, std::abs(int(back[i]) - int(rgb[i])));
            EXPECT_LE(worst, 6);
        }
    }
}

TEST_F(JpegIoTest, OnlyThreeChannelJpegsDecode)
{
    for (auto [name, components, space] : {std::tuple{"grey.jpg", 1, JCS_GRAYSCALE}, std::tuple{"cmyk.jpg", 4, JCS_CMYK}}) {
        std::string path = dir.file(name);
        writeFile(path, samples::encodeSampleJpeg(8, 8, components, space, 90));
        std::vector<unsigned char> buffer(8 * 8 * 4);
        testing::internal::CaptureStdout();
        EXPECT_EQ(readJpeg(path, buffer.data()), -1);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "JPEG Image must have 3 channels\n");
        EXPECT_EXIT_PRINTS(readImage(path, buffer.data()), 255,
                           "JPEG Image must have 3 channels\nError reading input JPEG file data\n$");
    }
}

TEST_F(JpegIoTest, DamagedJpegsFailWithoutEndingInsideTheLibrary)
{
    const std::string good = samples::encodeSampleJpeg(64, 64, 3, JCS_RGB, 90);
    std::string truncated = dir.file("truncated.jpg");
    writeFile(truncated, good.substr(0, good.size() / 2));
    std::string headerOnly = dir.file("header.jpg");
    writeFile(headerOnly, good.substr(0, 40));
    std::string badPrecision = dir.file("precision.jpg");
    std::string bytes = good;
    size_t sof = bytes.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    bytes[sof + 4] = 7;  // sample precision byte of the frame header
    writeFile(badPrecision, bytes);

    std::vector<unsigned char> buffer(64 * 64 * 3);
    int w, h, c, b;
    // The header of the truncated file is intact; its pixel data is not.
    EXPECT_EQ(readJpegHeader(truncated, w, h, c, b), 0);
    EXPECT_EQ(readJpeg(truncated, buffer.data()), -1);
    EXPECT_EQ(readJpegHeader(headerOnly, w, h, c, b), -1);
    EXPECT_EQ(readJpegHeader(badPrecision, w, h, c, b), -1);
    EXPECT_EQ(readJpeg(badPrecision, buffer.data()), -1);

    ImageRegion r;
    EXPECT_EXIT_PRINTS(readImage(truncated, buffer.data()), 255, "Error reading input JPEG file data\n$");
    EXPECT_EXIT_PRINTS(queryImageInfo(headerOnly, r, w, b), 255, "Error reading input JPEG file\n$");
    EXPECT_EXIT_PRINTS(queryImageInfo(badPrecision, r, w, b), 255, "Error reading input JPEG file\n$");

    testing::internal::CaptureStdout();
    EXPECT_EQ(readJpegHeader(dir.file("gone.jpg"), w, h, c, b), -1);
    EXPECT_EQ(readJpeg(dir.file("gone.jpg"), buffer.data()), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Cannot open JPEG file: " + dir.file("gone.jpg") + "\nCannot open " + dir.file("gone.jpg") + "\n");
}

// Writes the fused-output stand-in: an 8-bit RGBA TIFF under the output name.
std::vector<WorkPixel> writeOutputTiff(const std::string& path, int width, int height)
{
    std::vector<WorkPixel> px(size_t(width) * height);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = WorkPixel{int16_t((i * 3 % 256) * 64), int16_t((i * 5 % 256) * 64), int16_t((i % 7) * 2000),
                          int16_t(i % 3 == 0 ? 0 : 0x4000)};
    gCanvas = ImageRegion{0, 0, width, height};
    EXPECT_EQ(writeTiffWork8(path, px.data(), width, height), 0);
    return px;
}

TEST_F(JpegIoTest, ExportReplacesTheOutputWithItsJpeg)
{
    for (bool big : {false, true}) {
        gSettings.bigTiff = big;
        gSettings.jpegQuality = 75;
        gSettings.outputPath = dir.file("result.jpg");
        auto px = writeOutputTiff(gSettings.outputPath, 19, 11);
        // Alpha is dropped without blending: absent pixels keep their colour.
        std::vector<unsigned char> rgb(px.size() * 3);
        for (size_t i = 0; i < px.size(); ++i) {
            rgb[3 * i + 0] = static_cast<unsigned char>(px[i].c0 / 64);
            rgb[3 * i + 1] = static_cast<unsigned char>(px[i].c1 / 64);
            rgb[3 * i + 2] = static_cast<unsigned char>(std::min(255, px[i].c2 / 64));
        }
        ASSERT_EQ(exportOutputAsJpeg(), 0);
        EXPECT_EQ(readFile(gSettings.outputPath), referenceJpeg(rgb, 19, 11, 75)) << "big " << big;
        EXPECT_EQ(folderEntries(), std::vector<std::string>{"result.jpg"}) << "no temporary file is left";
    }
}

TEST_F(JpegIoTest, ExportOfAnOutputWithoutImageExtensionIsNotTakenForRaw)
{
    // A scaled run exports whatever name it was given; "preview.png" is our TIFF.
    gSettings.converterPath = "/nonexistent/converter";
    gSettings.outputPath = dir.file("preview.png");
    writeOutputTiff(gSettings.outputPath, 8, 6);
    ASSERT_EQ(exportOutputAsJpeg(), 0);
    std::string bytes = readFile(gSettings.outputPath);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xD8);
}

TEST_F(JpegIoTest, ExportRefusesWhatItCannotConvert)
{
    gSettings.outputPath = dir.file("plain.tif");
    writeFile(gSettings.outputPath, samples::encodeSampleJpeg(8, 8, 3, JCS_RGB, 90));
    EXPECT_EXIT_PRINTS(exportOutputAsJpeg(), 1,
                       "^Fatal Error: Error converting TIFF to JPEG...input not TIFF format\n\n$");

    gSettings.outputPath = dir.file("deep.tif");
    std::vector<WorkPixel> px(4, WorkPixel{100, 200, 300, -1});
    gCanvas = ImageRegion{0, 0, 2, 2};
    ASSERT_EQ(writeTiffWork16(gSettings.outputPath, px.data(), 2, 2), 0);
    EXPECT_EXIT_PRINTS(exportOutputAsJpeg(), 1,
                       "^Unsupported bit depth conversion request: in=8, out=4\nFatal Error: Unsupported image type\n\n$");
}

TEST_F(JpegIoTest, FailedExportLeavesTheTiffInPlace)
{
    gSettings.outputPath = dir.file("result.jpg");
    writeOutputTiff(gSettings.outputPath, 300, 200);
    const std::string tiff = readFile(gSettings.outputPath);
    ASSERT_GT(tiff.size(), 2000u);
    EXPECT_EXIT(
        {
            std::fflush(stdout);
            dup2(2, 1);
            signal(SIGXFSZ, SIG_IGN);
            rlimit limit;
            limit.rlim_cur = limit.rlim_max = 2000;  // the encode runs out of room
            setrlimit(RLIMIT_FSIZE, &limit);
            std::exit(exportOutputAsJpeg() == -1 ? 3 : 4);
        },
        ::testing::ExitedWithCode(3), "Cannot write JPEG file: .*result\\.jpg\n$");
    EXPECT_EQ(readFile(gSettings.outputPath), tiff);
    EXPECT_EQ(folderEntries(), std::vector<std::string>{"result.jpg"});
}

} // namespace
