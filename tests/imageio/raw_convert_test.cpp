#include "imageio/raw_convert.h"

#include "dng_writer.h"
#include "support/settings.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

namespace {

// A stand-in converter: records its arguments (one per line) in args.txt next
// to itself, then runs `body` as a POSIX shell script.
std::string writeFakeConverter(const TempDir& dir, const std::string& body)
{
    std::string path = dir.file("fakeconv");
    writeFile(path, "#!/bin/sh\n"
                    "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"${0%/*}/args.txt\"\n" +
                        body);
    chmod(path.c_str(), 0755);
    return path;
}

std::vector<std::string> recordedArgs(const TempDir& dir)
{
    std::vector<std::string> args;
    std::string text = readFile(dir.file("args.txt"));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        args.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

// A fake conversion body: writes "converted" under the produced name.
const char kFakeConvert[] = "for last; do :; done\nprintf converted > \"${last%.*}.tiff\"\n";

const char kFailureText[] =
    "Fatal Error: Could not convert RAW file.  Possible causes:\n"
    " (1) DCRaw not found\n"
    " (2) Image file does not exist\n"
    " (3) Image file is not a supported RAW format\n"
    " (4) This version of DCRaw does not work on this operating system\n\n\n";

struct TiffSummary {
    uint32_t width = 0, height = 0;
    uint16_t samples = 0, bits = 0;
    double mean = -1.0;
};

TiffSummary summarizeTiff(const std::string& path)
{
    TiffSummary s;
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif)
        return s;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &s.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &s.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &s.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &s.bits);
    if (s.bits == 8) {
        std::vector<uint8_t> row(TIFFScanlineSize(tif));
        double sum = 0;
        for (uint32_t y = 0; y < s.height; ++y) {
            if (TIFFReadScanline(tif, row.data(), y, 0) < 0)
                break;
            for (uint8_t v : row)
                sum += v;
        }
        s.mean = sum / (double(row.size()) * s.height);
    }
    TIFFClose(tif);
    return s;
}

class RawConvertTest : public ::testing::Test {
protected:
    void SetUp() override { resetSettings(); gSettings.converterPath = "dcraw"; }
    void TearDown() override { resetSettings(); }
    TempDir dir;
};

// Runs through the real converter; skipped where it is not installed.
class RealConverterTest : public RawConvertTest {
protected:
    void SetUp() override
    {
        if (!programOnPath("dcraw"))
            GTEST_SKIP() << "dcraw is not installed on PATH: RAW converter tests skipped";
        RawConvertTest::SetUp();
        dng = dir.file("shot.dng");
        ASSERT_TRUE(writeTestDng(dng));
    }
    std::string dng;
};

TEST_F(RealConverterTest, SizeQueryReportsOutputSizeOnly)
{
    ImageRegion region;
    region.x = 5;
    region.y = 7;
    ASSERT_EQ(queryRawSize(dng, region), 0);
    EXPECT_EQ(region.width, 64);
    EXPECT_EQ(region.height, 48);
    EXPECT_EQ(region.x, 5);
    EXPECT_EQ(region.y, 7);

    TestDngOptions wide;
    wide.width = 90;
    wide.height = 30;
    ASSERT_TRUE(writeTestDng(dir.file("wide.dng"), wide));
    ASSERT_EQ(queryRawSize(dir.file("wide.dng"), region), 0);
    EXPECT_EQ(region.width, 90);
    EXPECT_EQ(region.height, 30);
}

TEST_F(RealConverterTest, SizeQueryFailsForFilesTheConverterCannotRead)
{
    writeFile(dir.file("notes.txt"), "not an image\n");
    ImageRegion region;
    EXPECT_EQ(queryRawSize(dir.file("notes.txt"), region), 1);
    EXPECT_EQ(queryRawSize(dir.file("missing.dng"), region), 1);
    EXPECT_EQ(region.width, 0);
    EXPECT_EQ(region.height, 0);
}

TEST_F(RealConverterTest, InfoCopiesConverterDescription)
{
    int rc = 1;
    std::string out = captureOutput([&] { rc = printRawInfo(dng); });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(out.find("Filename: " + dng + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Output size:   64 x 48\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Filter pattern: RG/GB\n"), std::string::npos) << out;
}

TEST_F(RealConverterTest, ConversionLeavesRgbTiffAtDestinationOnly)
{
    const std::string before = readFile(dng);
    const std::string dest = dir.file("scratch-raw.tif");
    writeFile(dest, "stale");
    std::string out = captureOutput([&] { convertRaw(dng, dest, 0); });
    EXPECT_EQ(out, "\nConverting RAW file...\n");

    TiffSummary s = summarizeTiff(dest);
    EXPECT_EQ(s.width, 64u);
    EXPECT_EQ(s.height, 48u);
    EXPECT_EQ(s.samples, 3);
    EXPECT_EQ(s.bits, 8);
    EXPECT_FALSE(fileExists(dir.file("shot.tiff")));
    EXPECT_EQ(readFile(dng), before);
}

TEST_F(RealConverterTest, StopsChangeBrightness)
{
    double mean[3];
    const int stops[3] = {-1, 0, 2};
    for (int i = 0; i < 3; ++i) {
        const std::string dest = dir.file("b" + std::to_string(i) + ".tif");
        captureOutput([&] { convertRaw(dng, dest, stops[i]); });
        mean[i] = summarizeTiff(dest).mean;
        ASSERT_GT(mean[i], 0.0) << "stops " << stops[i];
    }
    EXPECT_LT(mean[0] + 10, mean[1]);
    EXPECT_LT(mean[1] + 10, mean[2]);
}

TEST_F(RealConverterTest, HalfSizeOptionReplacesDefaults)
{
    gSettings.converterArgs = "-h";
    const std::string dest = dir.file("half.tif");
    captureOutput([&] { convertRaw(dng, dest, 0); });
    TiffSummary s = summarizeTiff(dest);
    EXPECT_EQ(s.width, 32u);
    EXPECT_EQ(s.height, 24u);
    EXPECT_EQ(s.samples, 3);
}

TEST_F(RealConverterTest, CrossFilesystemDestination)
{
    struct stat a, b;
    if (stat("/dev/shm", &b) != 0 || access("/dev/shm", W_OK) != 0 || stat(dir.path().c_str(), &a) != 0 ||
        a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second writable filesystem (/dev/shm) beside " << dir.path();
    char name[] = "/dev/shm/quovix-raw-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    const std::string dest = std::string(name) + "/converted.tif";
    captureOutput([&] { convertRaw(dng, dest, 0); });
    EXPECT_EQ(summarizeTiff(dest).width, 64u);
    EXPECT_FALSE(fileExists(dir.file("shot.tiff")));
    std::remove(dest.c_str());
    rmdir(name);
}

// Shell syntax in a file name is only ever part of that one argument.
TEST_F(RealConverterTest, HostileNamesRunNoCommands)
{
    // An injected command would run in the working folder: make that ours.
    struct WorkingFolder {
        char saved[4096] = {};
        explicit WorkingFolder(const std::string& path)
        {
            if (!getcwd(saved, sizeof saved) || chdir(path.c_str()) != 0)
                ADD_FAILURE() << "cannot enter " << path;
        }
        ~WorkingFolder()
        {
            if (chdir(saved) != 0)
                ADD_FAILURE() << "cannot return to " << saved;
        }
    } inDir(dir.path());
    const std::vector<std::string> names = {
        "with blank.dng",
        "q'uo\"te $HOME.dng",
        "a;touch pwned1;b.dng",
        "$(touch pwned2).dng",
        "`touch pwned3`.dng",
        "x\" ; touch pwned4 ; \"y.dng",
    };
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        ASSERT_TRUE(writeTestDng(path));
        ImageRegion region;
        EXPECT_EQ(queryRawSize(path, region), 0);
        EXPECT_EQ(region.width, 64);
        std::string info = captureOutput([&] { printRawInfo(path); });
        EXPECT_NE(info.find("Filename: " + path + "\n"), std::string::npos);
        const std::string dest = dir.file("dest.tif");
        captureOutput([&] { convertRaw(path, dest, 0); });
        EXPECT_EQ(summarizeTiff(dest).height, 48u);
    }
    // Relative names that look like converter options stay file names.
    for (const std::string name : {"-h.dng", "+M.dng"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(writeTestDng(dir.file(name)));
        ImageRegion region;
        EXPECT_EQ(queryRawSize(name, region), 0);
        EXPECT_EQ(region.width, 64);
        const std::string dest = dir.file("dest.tif");
        captureOutput([&] { convertRaw(name, dest, 0); });
        EXPECT_EQ(summarizeTiff(dest).width, 64u);
        EXPECT_FALSE(fileExists(dir.file(name.substr(0, 2) + ".tiff")));
    }
    for (const char* marker : {"pwned1", "pwned2", "pwned3", "pwned4"})
        EXPECT_FALSE(fileExists(dir.file(marker))) << marker;
}

TEST_F(RealConverterTest, ConverterErrorEndsRun)
{
    writeFile(dir.file("broken.cr2"), "garbage, not a camera file");
    const std::string log = dir.file("out.txt");
    EXPECT_EXIT(
        {
            if (!std::freopen(log.c_str(), "w", stdout))
                std::_Exit(99);
            convertRaw(dir.file("broken.cr2"), dir.file("dest.tif"), 0);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(readFile(log), "\nConverting RAW file...\nReturn value: 1\n\n" + std::string(kFailureText));
    EXPECT_FALSE(fileExists(dir.file("dest.tif")));
}

// The argument vectors and line handling, against a stand-in converter.
TEST_F(RawConvertTest, QueryArgumentsAndLastSizeLineWins)
{
    gSettings.converterPath = writeFakeConverter(
        dir, "echo 'Camera: Output size: bogus'\n"
             "echo 'Output size:   10 x 20'\n"
             "echo 'Pixel aspect: 1.0'\n"
             "printf 'Output size: 4288 x2848'\n");
    ImageRegion region;
    ASSERT_EQ(queryRawSize("/some dir/a b.nef", region), 0);
    EXPECT_EQ(region.width, 4288);
    EXPECT_EQ(region.height, 2848);
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-i", "-v", "/some dir/a b.nef"}));

    gSettings.converterPath = writeFakeConverter(dir, "echo 'Image size: 5 x 6'\n");
    EXPECT_EQ(queryRawSize("x.nef", region), 1);
}

TEST_F(RawConvertTest, InfoCopiesOutputUnchanged)
{
    const std::string text = "Filename: x\nOutput size: 3 x 4\n" + std::string(1500, 'z') + "\nlast";
    writeFile(dir.file("info.txt"), text);
    gSettings.converterPath = writeFakeConverter(dir, "cat \"${0%/*}/info.txt\"\nexit 4\n");
    int rc = 1;
    std::string out = captureOutput([&] { rc = printRawInfo("x.nef"); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, text);
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-i", "-v", "x.nef"}));
}

TEST_F(RawConvertTest, ConversionArgumentsAndProducedName)
{
    gSettings.converterPath = writeFakeConverter(dir, kFakeConvert);
    const std::string raw = dir.file("shot.v2.nef");
    writeFile(raw, "raw");
    const std::string dest = dir.file("dest.tif");

    captureOutput([&] { convertRaw(raw, dest, 0); });
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-T", "-H", "2", "-w", "-b", "1.00", raw}));
    EXPECT_EQ(readFile(dest), "converted");
    EXPECT_FALSE(fileExists(dir.file("shot.v2.tiff")));

    gSettings.converterArgs = "  -q 3\t-w ";
    captureOutput([&] { convertRaw(raw, dest, 2); });
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-T", "-q", "3", "-w", "-b", "4.00", raw}));

    gSettings.converterArgs = "-h";
    captureOutput([&] { convertRaw(raw, dest, -1); });
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-T", "-h", "-b", "0.50", raw}));

    // No extension: the produced name is the whole path plus ".tiff".
    const std::string bare = dir.file("shot");
    writeFile(bare, "raw");
    std::remove(dest.c_str());
    captureOutput([&] { convertRaw(bare, dest, 0); });
    EXPECT_EQ(readFile(dest), "converted");
    EXPECT_FALSE(fileExists(bare + ".tiff"));
}

TEST_F(RawConvertTest, EmptyConverterPathMeansDcraw)
{
    gSettings.converterPath = "";
    const std::string bin = dir.file("bin");
    mkdir(bin.c_str(), 0755);
    const std::string fake = writeFakeConverter(dir, "echo 'Output size: 7 x 9'\n");
    ASSERT_EQ(rename(fake.c_str(), (bin + "/dcraw").c_str()), 0);
    const char* oldPath = std::getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("PATH", bin.c_str(), 1);
    ImageRegion region;
    int rc = queryRawSize("x.nef", region);
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(region.width, 7);
    EXPECT_EQ(region.height, 9);
}

TEST_F(RawConvertTest, MissingConverter)
{
    for (const char* name : {"/nonexistent/dcraw", "quovix-no-such-converter"}) {
        SCOPED_TRACE(name);
        gSettings.converterPath = name;
        ImageRegion region;
        EXPECT_EQ(queryRawSize("x.nef", region), 1);

        int rc = 0;
        std::string out = captureOutput([&] { rc = printRawInfo("x.nef"); });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(out, "Error 2 establishing communication with dcraw\n");

        const std::string log = dir.file("out.txt");
        EXPECT_EXIT(
            {
                if (!std::freopen(log.c_str(), "w", stdout))
                    std::_Exit(99);
                convertRaw("x.nef", dir.file("dest.tif"), 0);
            },
            ::testing::ExitedWithCode(1), "");
        EXPECT_EQ(readFile(log), "\nConverting RAW file...\nReturn value: 127\n\n" + std::string(kFailureText));
    }
}

// The converter overwrites its output name; a user's file there must survive.
TEST_F(RawConvertTest, ExistingFileUnderProducedNameIsKept)
{
    gSettings.converterPath = writeFakeConverter(dir, kFakeConvert);
    const std::string raw = dir.file("shot.cr2");
    writeFile(raw, "raw");
    writeFile(dir.file("shot.tiff"), "user's own picture");
    const std::string log = dir.file("out.txt");
    EXPECT_EXIT(
        {
            if (!std::freopen(log.c_str(), "w", stdout))
                std::_Exit(99);
            convertRaw(raw, dir.file("dest.tif"), 0);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(readFile(log), "\nConverting RAW file...\nFatal Error: Could not convert RAW file: " +
                                 dir.file("shot.tiff") + " already exists\n");
    EXPECT_EQ(readFile(dir.file("shot.tiff")), "user's own picture");
    EXPECT_FALSE(fileExists(dir.file("args.txt")));  // the converter never ran
}

}  // namespace
