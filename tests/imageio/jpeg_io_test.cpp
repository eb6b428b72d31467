#include "imageio/jpeg_io.h"

#include "analysis/work_files.h"
#include "fusion/output_file.h"
#include "image_samples.h"
#include "imageio/image_reader.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using samples::failedWith;

class JpegIoTest : public FreshSettingsTest {
protected:
    std::vector<std::string> folderEntries() const { return samples::folderEntries(dir.path()); }
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

// An image description for the reader, as classification makes it.
ImageInfo jpegInfo(int width, int height)
{
    ImageInfo info;
    info.known = true;
    info.format = FileFormat::Jpeg;
    info.region = ImageRegion{0, 0, width, height};
    info.bytesPerPixel = 3;
    info.bitsPerSample = 8;
    return info;
}

TEST_F(JpegIoTest, WriteUsesLibraryDefaultsAtTheRunQualityAndReadsBack)
{
    const int width = 40, height = 23;  // odd height: a partial last MCU row
    auto rgb = smoothRgb(width, height);
    for (int quality : {90, 100, 20}) {
        std::string path = dir.file("out.jpg");
        FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        const bool encoded = encodeJpeg(run.console, file, rgb.data(), width, height, quality);
        ASSERT_EQ(std::fclose(file), 0);
        ASSERT_TRUE(encoded);
        EXPECT_EQ(readFile(path), referenceJpeg(rgb, width, height, quality)) << quality;

        int w = 0, h = 0, components = 0;
        ASSERT_TRUE(readJpegHeader(run.console, path, w, h, components).ok());
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        EXPECT_EQ(components, 3);
        ImageInfo info;
        ASSERT_TRUE(queryImageInfo(run, path, info).ok());
        EXPECT_EQ(info.bitsPerSample, 8);
        std::vector<unsigned char> back(rgb.size() + 3, 0xEE);
        ASSERT_TRUE(readJpeg(run.console, path, jpegInfo(width, height), back.data()).ok());
        EXPECT_EQ(back[rgb.size()], 0xEE) << "no write past width x height x 3";
        std::vector<unsigned char> again(rgb.size() + 3, 0xEE);
        ASSERT_TRUE(readImage(run, path, info, again.data()).ok());
        EXPECT_EQ(again, back);
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
        SCOPED_TRACE(name);
        std::string path = dir.file(name);
        writeFile(path, samples::encodeSampleJpeg(8, 8, components, space, 90));
        std::vector<unsigned char> buffer(8 * 8 * 4);
        samples::Printed p =
            samples::printedBy([&] { return readJpeg(run.console, path, ImageInfo(), buffer.data()); });
        EXPECT_TRUE(failedWith(p.status, -1, "Error reading input JPEG file data\n"));
        EXPECT_EQ(p.output, "JPEG Image must have 3 channels\n");
        // Classified first, as every input is, then read.
        ImageInfo info;
        ASSERT_TRUE(queryImageInfo(run, path, info).ok());
        p = samples::printedBy([&] { return readImage(run, path, info, buffer.data()); });
        EXPECT_TRUE(failedWith(p.status, -1, "Error reading input JPEG file data\n"));
        EXPECT_EQ(p.output, "JPEG Image must have 3 channels\n");
    }
}

TEST_F(JpegIoTest, DamagedJpegsFailWithTheDecodersReasonOnTheConsole)
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
    int w, h, c;
    const std::string header = "Error reading input JPEG file\n", data = "Error reading input JPEG file data\n";
    // libjpeg's own reason goes through the console; standard error stays quiet.
    testing::internal::CaptureStderr();
    // The header of the truncated file is intact; its pixel data is not.
    samples::Printed p = samples::printedBy([&] { return readJpegHeader(run.console, truncated, w, h, c); });
    EXPECT_TRUE(p.status.ok());
    EXPECT_EQ(p.output, "");
    p = samples::printedBy([&] { return readJpeg(run.console, truncated, jpegInfo(64, 64), buffer.data()); });
    EXPECT_TRUE(failedWith(p.status, -1, data));
    EXPECT_EQ(p.output, "Premature end of JPEG file\n");
    p = samples::printedBy([&] { return readJpegHeader(run.console, headerOnly, w, h, c); });
    EXPECT_TRUE(failedWith(p.status, -1, header));
    EXPECT_EQ(p.output, "Premature end of JPEG file\n");
    p = samples::printedBy([&] { return readJpegHeader(run.console, badPrecision, w, h, c); });
    EXPECT_TRUE(failedWith(p.status, -1, header));
    EXPECT_EQ(p.output, "Unsupported JPEG data precision 7\n");
    p = samples::printedBy([&] { return readJpeg(run.console, badPrecision, ImageInfo(), buffer.data()); });
    EXPECT_TRUE(failedWith(p.status, -1, data));
    EXPECT_EQ(p.output, "Unsupported JPEG data precision 7\n");

    // The same failures through classification and the reader.
    ImageInfo info;
    p = samples::printedBy([&] { return readImage(run, truncated, jpegInfo(64, 64), buffer.data()); });
    EXPECT_TRUE(failedWith(p.status, -1, data));
    p = samples::printedBy([&] { return queryImageInfo(run, headerOnly, info); });
    EXPECT_TRUE(failedWith(p.status, -1, header));
    EXPECT_EQ(p.output, "Premature end of JPEG file\n");
    p = samples::printedBy([&] { return queryImageInfo(run, badPrecision, info); });
    EXPECT_TRUE(failedWith(p.status, -1, header));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStdout();
    EXPECT_TRUE(failedWith(readJpegHeader(run.console, dir.file("gone.jpg"), w, h, c), -1, header));
    EXPECT_TRUE(failedWith(readJpeg(run.console, dir.file("gone.jpg"), ImageInfo(), buffer.data()), -1, data));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Cannot open JPEG file: " + dir.file("gone.jpg") + "\nCannot open " + dir.file("gone.jpg") + "\n");
}

// Writes the fused-output stand-in: an 8-bit RGBA TIFF under the output name.
std::vector<WorkPixel> writeOutputTiff(FusionRun& run, const std::string& path, int width, int height)
{
    std::vector<WorkPixel> px(size_t(width) * height);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = WorkPixel{int16_t((i * 3 % 256) * 64), int16_t((i * 5 % 256) * 64), int16_t((i % 7) * 2000),
                          int16_t(i % 3 == 0 ? 0 : 0x4000)};
    run.canvas = ImageRegion{0, 0, width, height};
    Status status = writeWorkFile8(run, path, px.data(), width, height, run.canvas);
    EXPECT_TRUE(status.ok()) << status.consoleText();
    return px;
}

TEST_F(JpegIoTest, ExportReplacesTheOutputWithItsJpeg)
{
    for (bool big : {false, true}) {
        settings.bigTiff = big;
        settings.jpegQuality = 75;
        settings.outputPath = dir.file("result.jpg");
        const std::string finished = dir.file("finished.tif");
        auto px = writeOutputTiff(run, finished, 19, 11);
        // Alpha is dropped without blending: absent pixels keep their colour.
        std::vector<unsigned char> rgb(px.size() * 3);
        for (size_t i = 0; i < px.size(); ++i) {
            rgb[3 * i + 0] = static_cast<unsigned char>(px[i].c0 / 64);
            rgb[3 * i + 1] = static_cast<unsigned char>(px[i].c1 / 64);
            rgb[3 * i + 2] = static_cast<unsigned char>(std::min(255, px[i].c2 / 64));
        }
        samples::Printed p = samples::printedBy([&] { return exportAsJpeg(run, finished, settings.outputPath); });
        ASSERT_TRUE(p.status.ok()) << p.status.consoleText();
        EXPECT_EQ(p.output, "");
        EXPECT_EQ(readFile(settings.outputPath), referenceJpeg(rgb, 19, 11, 75)) << "big " << big;
        EXPECT_EQ(folderEntries(), (std::vector<std::string>{"finished.tif", "result.jpg"}))
            << "no temporary file is left";
        std::remove(finished.c_str());
    }
}

TEST_F(JpegIoTest, ExportOfAnOutputWithoutImageExtensionIsNotTakenForRaw)
{
    // A scaled run exports whatever name it was given; "preview.out" is our TIFF.
    settings.converterPath = "/nonexistent/converter";
    settings.outputPath = dir.file("preview.out");
    writeOutputTiff(run, dir.file("finished"), 8, 6);
    Status status = exportAsJpeg(run, dir.file("finished"), settings.outputPath);
    ASSERT_TRUE(status.ok()) << status.consoleText();
    std::string bytes = readFile(settings.outputPath);
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0xD8);
}

TEST_F(JpegIoTest, ExportRefusesWhatItCannotConvert)
{
    settings.outputPath = dir.file("plain.tif");
    const std::string jpeg = samples::encodeSampleJpeg(8, 8, 3, JCS_RGB, 90);
    writeFile(settings.outputPath, jpeg);
    samples::Printed p =
        samples::printedBy([&] { return exportAsJpeg(run, settings.outputPath, settings.outputPath); });
    EXPECT_TRUE(failedWith(p.status, 1, "Fatal Error: Error converting TIFF to JPEG...input not TIFF format\n\n"));
    EXPECT_EQ(p.output, "");
    EXPECT_EQ(readFile(settings.outputPath), jpeg);

    settings.outputPath = dir.file("deep.tif");
    std::vector<WorkPixel> px(4, WorkPixel{100, 200, 300, -1});
    ASSERT_TRUE(writeWorkFile16(run, settings.outputPath, px.data(), 2, 2, ImageRegion{0, 0, 2, 2}).ok());
    const std::string deep = readFile(settings.outputPath);
    p = samples::printedBy([&] { return exportAsJpeg(run, settings.outputPath, settings.outputPath); });
    EXPECT_TRUE(failedWith(p.status, 1,
                           "Unsupported bit depth conversion request: in=8, out=4\nFatal Error: Unsupported image type\n\n"));
    EXPECT_EQ(p.output, "");
    EXPECT_EQ(readFile(settings.outputPath), deep);
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"deep.tif", "plain.tif"}));
}

TEST_F(JpegIoTest, FailedExportKeepsThePreviousOutput)
{
    settings.outputPath = dir.file("result.jpg");
    writeFile(settings.outputPath, "old");
    const std::string finished = dir.file("finished.tif");
    writeOutputTiff(run, finished, 300, 200);
    ASSERT_GT(readFile(finished).size(), 2000u);
    samples::Printed p;
    {
        samples::FileSizeLimit limit(2000);  // the encode runs out of room
        ASSERT_TRUE(limit.active());
        p = samples::printedBy([&] { return exportAsJpeg(run, finished, settings.outputPath); });
    }
    EXPECT_TRUE(failedWith(p.status, -1, ""));
    // The encoder's own reason comes first, on the console.
    EXPECT_EQ(p.output, "Output file write error --- out of disk space?\n"
                        "Cannot write JPEG file: " + settings.outputPath + "\n");
    EXPECT_EQ(readFile(settings.outputPath), "old");
    EXPECT_EQ(folderEntries(), (std::vector<std::string>{"finished.tif", "result.jpg"}));
}

} // namespace
