// Whole runs of the built program on generated RAW and JPEG inputs: the
// converter and the JPEG codec as the fusion sees them, and the messages a
// user sees for inputs that cannot be read.
#include "dng_writer.h"
#include "image_fixture.h"
#include "image_samples.h"
#include "imageio/file_format.h"
#include "imageio/jpeg_io.h"
#include "imageio/png_io.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
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

FileFormat formatOf(const std::string& path)
{
    FileFormat format = FileFormat::Unknown;
    EXPECT_TRUE(detectFormat(path, format).ok()) << path;
    return format;
}

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
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
    // The photographs lie in a folder the run may not write to.
    const std::string photos = dir.file("photos");
    ASSERT_EQ(mkdir(photos.c_str(), 0755), 0);
    const std::vector<double> exposures = {0.35, 1.0, 2.8};
    std::vector<std::string> inputs;
    for (size_t i = 0; i < exposures.size(); ++i) {
        inputs.push_back(photos + "/shot" + std::to_string(i) + ".dng");
        ASSERT_TRUE(writeTestDng(inputs.back(), {64, 48, exposures[i]}));
    }
    // A file of the user's under the name the converter used to write beside
    // its input neither stops the run nor is touched.
    writeFile(photos + "/shot1.tiff", "user's own picture");
    ASSERT_EQ(chmod(photos.c_str(), 0555), 0);
    struct RestoreMode {
        std::string path;
        ~RestoreMode() { chmod(path.c_str(), 0755); }  // so the folder can be removed
    } restore{photos};
    const std::vector<std::string> namesBefore = samples::folderEntries(photos);
    std::vector<samples::FileSnapshot> before;
    for (const auto& name : namesBefore)
        before.push_back(samples::snapshot(photos + "/" + name));

    // The converter, with a log of every call.
    const std::string calls = dir.file("calls.log");
    const std::string converter = dir.file("logged-dcraw");
    writeFile(converter, "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + calls + "'\nexec dcraw \"$@\"\n");
    ASSERT_EQ(chmod(converter.c_str(), 0755), 0);

    std::vector<std::string> args = {"-o", "fused.tif", "-x", converter};
    args.insert(args.end(), inputs.begin(), inputs.end());
    CommandResult r = run(args);
    ASSERT_EQ(r.exitCode, 0) << r.output;

    // Each RAW file is sized by the converter once and converted once, into
    // the run's scratch folder (-c: on standard output).
    std::istringstream log(readFile(calls));
    std::multiset<std::string> queried, converted;
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("-i -v ", 0) == 0)
            queried.insert(line.substr(6));
        else if (line.rfind("-c -T ", 0) == 0)
            converted.insert(line.substr(line.rfind(' ') + 1));
        else
            ADD_FAILURE() << "unexpected converter call: " << line;
    }
    const std::multiset<std::string> each(inputs.begin(), inputs.end());
    EXPECT_EQ(queried, each);
    EXPECT_EQ(converted, each);
    size_t conversions = 0;
    for (size_t at = r.output.find("Converting RAW file..."); at != std::string::npos;
         at = r.output.find("Converting RAW file...", at + 1))
        ++conversions;
    EXPECT_EQ(conversions, inputs.size()) << r.output;

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

    // Nothing in the photographs' folder was added, removed or changed.
    EXPECT_EQ(samples::folderEntries(photos), namesBefore);
    for (size_t i = 0; i < namesBefore.size(); ++i)
        EXPECT_TRUE(samples::snapshot(photos + "/" + namesBefore[i]) == before[i]) << "modified: " << namesBefore[i];
    EXPECT_TRUE(leftovers().empty()) << "scratch files left: " << leftovers().front();
}

TEST_F(WholeRunTest, JpegInputsAndJpegOutputNames)
{
    for (int i = 0; i < 2; ++i)
        writeFile(dir.file("in" + std::to_string(i) + ".jpg"), samples::encodeSampleJpeg(40, 30, 3, JCS_RGB, 95));

    // A name containing ".JPG" ends as a real JPEG at the -j quality.
    CommandResult r = run({"-o", "out.JPG", "-j", "80", "in0.jpg", "in1.jpg"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_EQ(formatOf(dir.file("out.JPG")), FileFormat::Jpeg);
    Console console;
    int w = 0, h = 0, components = 0;
    ASSERT_TRUE(readJpegHeader(console, dir.file("out.JPG"), w, h, components).ok());
    EXPECT_EQ(w, 40);
    EXPECT_EQ(h, 30);
    EXPECT_EQ(components, 3);

    // ".Jpg" is none of the JPEG spellings: refused before any work, rather
    // than a TIFF written under a JPEG-looking name.
    r = run({"-o", "out.Jpg", "in0.jpg", "in1.jpg"});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("cannot write out.Jpg: spell a JPEG extension"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(dir.file("out.Jpg")));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(WholeRunTest, CorruptJpegInputEndsTheRunWithoutOutput)
{
    std::string good = samples::encodeSampleJpeg(40, 30, 3, JCS_RGB, 90);
    writeFile(dir.file("good.jpg"), good);
    writeFile(dir.file("cut.jpg"), good.substr(0, good.size() / 2));
    CommandResult r = run({"-o", "out.tif", "good.jpg", "cut.jpg"});
    EXPECT_EQ(r.exitCode, 255) << r.output;
    // The decoder's reason, then the final error line.
    EXPECT_TRUE(endsWith(r.output, "Premature end of JPEG file\nError reading input JPEG file data\n")) << r.output;
    EXPECT_FALSE(fileExists(dir.file("out.tif")));
    EXPECT_TRUE(leftovers().empty());
}

// Inputs refused while they are classified end the run with the reader's
// message as the last line, before anything is written.
TEST_F(WholeRunTest, UnreadableInputsEndTheRunWithTheirMessage)
{
    writeFile(dir.file("good.jpg"), samples::encodeSampleJpeg(40, 30, 3, JCS_RGB, 90));
    writeFile(dir.file("empty.tif"), "");
    samples::SampleTiff big;
    big.bigTiff = true;
    samples::writeSampleTiff(dir.file("big.tif"), big);
    samples::SampleTiff planes;
    planes.planar = PLANARCONFIG_SEPARATE;
    samples::writeSampleTiff(dir.file("planes.tif"), planes);
    writeFile(dir.file("broken.cr2"), "garbage, not a camera file");

    struct Case { const char* input; int exitCode; std::string last; };
    const std::vector<Case> cases = {
        {"missing.tif", 1, "Error: Cannot open file: missing.tif\n"},
        {"empty.tif", 255, "\nError: getFirstBytes: Cannot read from file\n"},
        {"big.tif", 255, "\nUnknown image file format\n"},
        {"planes.tif", 255, "\nUnsupported image file planes.tif: separate colour planes are not supported\n"},
        {"broken.cr2", 255,
         "\nCannot determine RAW file dimensions of broken.cr2: " +
             std::string(programOnPath("dcraw") ? "neither dcraw nor LibRaw can read it\n"
                                                : "dcraw not found, and LibRaw cannot read it\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        CommandResult r = run({"-o", "out.tif", "good.jpg", c.input});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_TRUE(endsWith(r.output, c.last)) << r.output;
        EXPECT_FALSE(fileExists(dir.file("out.tif")));
        EXPECT_TRUE(leftovers().empty());
    }
}

} // namespace

// PNG outputs hold the pixels of the TIFF the same run writes, at 8 and 16
// bits, and PNG inputs fuse to the same result as TIFF inputs of the same
// pixels.
TEST_F(WholeRunTest, PngOutputsAndInputsMatchTheirTiffs)
{
    for (int i = 0; i < 2; ++i) {
        FixtureImage image = makeFixture(40, 30, 3, 16);
        for (size_t k = 0; k < image.data.size(); ++k)
            image.data[k] = static_cast<uint16_t>((k * 977 + 3001) * (i + 1) % 65536);
        const std::string name = "in" + std::to_string(i);
        ASSERT_TRUE(writeFixtureTiff(dir.file(name + ".tif"), image, false));
        const std::vector<uint8_t> bytes = fixtureBytes(image);
        PngLayout layout;
        layout.width = 40;
        layout.height = 30;
        layout.bits = 16;
        ASSERT_TRUE(writePng(dir.file(i == 0 ? name + ".png" : name + ".PNG"), bytes.data(), layout).ok());
    }
    auto pngBytes = [](const std::string& path) {
        ImageInfo info;
        EXPECT_TRUE(readPngHeader(path, info).ok()) << path;
        std::vector<uint8_t> bytes(static_cast<size_t>(info.region.width) * info.region.height * info.bytesPerPixel);
        EXPECT_TRUE(readPng(path, info, bytes.data()).ok()) << path;
        return bytes;
    };
    for (const char* bits : {"8", "16"}) {
        SCOPED_TRACE(std::string("-a ") + bits);
        CommandResult r = run({"-q", "-a", bits, "-o", "ref.tif", "in0.tif", "in1.tif"});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        r = run({"-q", "-a", bits, "-o", "out.png", "in0.tif", "in1.tif"});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        ASSERT_EQ(formatOf(dir.file("out.png")), FileFormat::Png);
        const FixtureImage reference = readFixtureTiff(dir.file("ref.tif"));
        ASSERT_EQ(reference.samples, 4);
        ASSERT_EQ(reference.bits, std::stoi(bits));
        EXPECT_EQ(pngBytes(dir.file("out.png")), fixtureBytes(reference));

        r = run({"-q", "-a", bits, "-o", "fromPng.tif", "in0.png", "in1.PNG"});
        ASSERT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(readFixtureTiff(dir.file("fromPng.tif")).data, reference.data);
    }
    EXPECT_TRUE(leftovers().empty());
    for (const std::string& name : samples::folderEntries(dir.path()))
        EXPECT_EQ(name.find(".part-"), std::string::npos) << name;
}

// Inputs whose names do not say what they hold, or say it in an unusual
// case, are read by their content: none goes to the RAW converter (which is
// missing here, so any that did would end the run).
TEST_F(WholeRunTest, InputsAreReadByTheirContent)
{
    FixtureImage image = makeFixture(40, 30, 3, 8);
    for (size_t k = 0; k < image.data.size(); ++k)
        image.data[k] = static_cast<uint16_t>(k % 200 + 20);
    ASSERT_TRUE(writeFixtureTiff(dir.file("a.Tif"), image, false));
    writeFile(dir.file("b.tif"), samples::encodeSampleJpeg(40, 30, 3, JCS_RGB, 90));  // a JPEG under a TIFF name
    const std::vector<uint8_t> bytes = fixtureBytes(image);
    PngLayout layout;
    layout.width = 40;
    layout.height = 30;
    ASSERT_TRUE(writePng(dir.file("c.Png"), bytes.data(), layout).ok());
    CommandResult r = runQuovix({"-q", "--rawEngine", "dcraw", "-o", "out.tif", "a.Tif", "b.tif", "c.Png"},
                                dir.path(), {"TMPDIR=" + temp, "PATH=/nonexistent"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output.find("RAW"), std::string::npos) << r.output;
    EXPECT_EQ(formatOf(dir.file("out.tif")), FileFormat::Tiff);

    // Neither an image nor a camera file: the last line names it and says
    // that the converter is missing.
    writeFile(dir.file("notes.dat"), "plain text, not an image");
    r = runQuovix({"-q", "--rawEngine", "dcraw", "-o", "out2.tif", "a.Tif", "notes.dat"}, dir.path(),
                  {"TMPDIR=" + temp, "PATH=/nonexistent"});
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_TRUE(endsWith(r.output, "Cannot determine RAW file dimensions of notes.dat: dcraw not found, and LibRaw "
                                   "cannot read it\n"))
        << r.output;
    EXPECT_FALSE(fileExists(dir.file("out2.tif")));
}
