#include "imageio/raw_convert.h"

#include "dng_writer.h"
#include "image_samples.h"
#include "imageio/image_reader.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using samples::failedWith;

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

// A fake conversion body: the "TIFF" comes on standard output, as under -c.
const char kFakeConvert[] = "printf converted\n";

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

class RawConvertTest : public FreshSettingsTest {
protected:
    void SetUp() override { settings.converterPath = "dcraw"; }
    // Converts and returns what the conversion printed; the status in `status`.
    std::string convert(const std::string& raw, const std::string& dest, int stops)
    {
        samples::Printed p = samples::printedBy([&] { return convertRaw(run, raw, dest, stops); });
        status = p.status;
        return p.output;
    }
    // The conversion's file in the run's own scratch folder.
    std::string scratchFor(const std::string& raw)
    {
        EXPECT_TRUE(run.scratch.ensureRunFolder().ok());
        return run.scratch.scratchName(raw, "raw", 0);
    }
    TempDir dir;
    Status status;
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

// A folder's names, modification time and files' content, to show it was
// left exactly as it was.
struct FolderState {
    std::vector<std::string> names;
    std::vector<samples::FileSnapshot> files;
    struct timespec mtime{};
    bool operator==(const FolderState& o) const
    {
        return names == o.names && files == o.files && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FolderState folderState(const std::string& folder)
{
    FolderState state;
    state.names = samples::folderEntries(folder);
    for (const std::string& name : state.names)
        state.files.push_back(samples::snapshot(folder + "/" + name));
    struct stat st{};
    if (stat(folder.c_str(), &st) == 0)
        state.mtime = st.st_mtim;
    return state;
}

TEST_F(RealConverterTest, SizeQueryReportsOutputSizeOnly)
{
    ImageRegion region;
    region.x = 5;
    region.y = 7;
    ASSERT_EQ(queryRawSize(settings, dng, region), 0);
    EXPECT_EQ(region.width, 64);
    EXPECT_EQ(region.height, 48);
    EXPECT_EQ(region.x, 5);
    EXPECT_EQ(region.y, 7);

    TestDngOptions wide;
    wide.width = 90;
    wide.height = 30;
    ASSERT_TRUE(writeTestDng(dir.file("wide.dng"), wide));
    ASSERT_EQ(queryRawSize(settings, dir.file("wide.dng"), region), 0);
    EXPECT_EQ(region.width, 90);
    EXPECT_EQ(region.height, 30);
}

TEST_F(RealConverterTest, RawFilesAreClassifiedThroughTheConverter)
{
    // Any name without a TIFF or JPEG extension is a camera RAW file: placed
    // at the origin, read as 8-bit RGB at the converter's output size.
    ImageInfo info;
    ASSERT_TRUE(queryImageInfo(run, dng, info).ok());
    EXPECT_TRUE(info.known);
    EXPECT_EQ(info.format, FileFormat::Raw);
    EXPECT_EQ(info.region.width, 64);
    EXPECT_EQ(info.region.height, 48);
    EXPECT_EQ(info.region.x, 0);
    EXPECT_EQ(info.region.y, 0);
    EXPECT_EQ(info.bytesPerPixel, 3);
    EXPECT_EQ(info.bitsPerSample, 8);

    writeFile(dir.file("notes.txt"), "not an image\n");
    EXPECT_TRUE(failedWith(queryImageInfo(run, dir.file("notes.txt"), info), -1,
                           "Cannot determine RAW file dimensions of " + dir.file("notes.txt") +
                               ": neither dcraw nor LibRaw can read it\n"));
    EXPECT_FALSE(info.known);
}

TEST_F(RealConverterTest, SizeQueryFailsForFilesTheConverterCannotRead)
{
    writeFile(dir.file("notes.txt"), "not an image\n");
    ImageRegion region;
    EXPECT_EQ(queryRawSize(settings, dir.file("notes.txt"), region), 1);
    EXPECT_EQ(queryRawSize(settings, dir.file("missing.dng"), region), 1);
    EXPECT_EQ(region.width, 0);
    EXPECT_EQ(region.height, 0);
}

TEST_F(RealConverterTest, InfoCopiesConverterDescription)
{
    int rc = 1;
    std::string out = captureOutput([&] { rc = printRawInfo(settings, run.console, dng); });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(out.find("Filename: " + dng + "\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Output size:   64 x 48\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Filter pattern: RG/GB\n"), std::string::npos) << out;
}

TEST_F(RealConverterTest, ConversionLeavesRgbTiffAtDestinationOnly)
{
    const std::string dest = dir.file("scratch-raw.tif");
    writeFile(dest, "stale");
    const auto rawBefore = samples::snapshot(dng);
    const auto namesBefore = samples::folderEntries(dir.path());
    std::string out = convert(dng, dest, 0);
    ASSERT_TRUE(status.ok()) << status.consoleText();
    EXPECT_EQ(out, "\nConverting RAW file...\n");

    TiffSummary s = summarizeTiff(dest);
    EXPECT_EQ(s.width, 64u);
    EXPECT_EQ(s.height, 48u);
    EXPECT_EQ(s.samples, 3);
    EXPECT_EQ(s.bits, 8);
    EXPECT_FALSE(fileExists(dir.file("shot.tiff")));
    EXPECT_EQ(samples::folderEntries(dir.path()), namesBefore);
    EXPECT_TRUE(samples::snapshot(dng) == rawBefore);
    // The destination is private to the user.
    struct stat st{};
    ASSERT_EQ(stat(dest.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// The converter writes on its standard output into the run's scratch folder:
// the RAW file's folder is never written, not even for a moment.
TEST_F(RealConverterTest, ConversionWritesNothingBesideTheRawFile)
{
    const std::string photos = dir.file("photos");
    ASSERT_EQ(mkdir(photos.c_str(), 0755), 0);
    const std::string raw = photos + "/shot.dng";
    ASSERT_TRUE(writeTestDng(raw));
    const FolderState before = folderState(photos);
    const std::string dest = scratchFor(raw);
    EXPECT_EQ(dest.rfind(run.scratch.runFolder() + "/", 0), 0u) << dest;

    convert(raw, dest, 0);
    ASSERT_TRUE(status.ok()) << status.consoleText();
    EXPECT_EQ(summarizeTiff(dest).width, 64u);
    EXPECT_TRUE(folderState(photos) == before) << "written beside the RAW file";
    EXPECT_EQ(samples::folderEntries(photos), std::vector<std::string>{"shot.dng"});
}

TEST_F(RealConverterTest, ReadOnlyFolderConvertsAndIsLeftUntouched)
{
    const std::string photos = dir.file("photos");
    ASSERT_EQ(mkdir(photos.c_str(), 0755), 0);
    const std::string raw = photos + "/shot.dng";
    ASSERT_TRUE(writeTestDng(raw));
    ASSERT_EQ(chmod(photos.c_str(), 0555), 0);
    struct RestoreMode {
        std::string path;
        ~RestoreMode() { chmod(path.c_str(), 0755); }  // so the folder can be removed
    } restore{photos};
    // Root may still write into a 0555 folder; the folder must then at least
    // stay untouched, which shows the converter never writes beside the file.
    const FolderState before = folderState(photos);

    const std::string dest = scratchFor(raw);
    std::string out = convert(raw, dest, 1);
    ASSERT_TRUE(status.ok()) << status.consoleText() << out;
    EXPECT_EQ(out, "\nConverting RAW file...\n");
    TiffSummary s = summarizeTiff(dest);
    EXPECT_EQ(s.width, 64u);
    EXPECT_EQ(s.height, 48u);
    EXPECT_EQ(s.samples, 3);
    EXPECT_TRUE(folderState(photos) == before);
}

TEST_F(RealConverterTest, StopsChangeBrightness)
{
    double mean[3];
    const int stops[3] = {-1, 0, 2};
    for (int i = 0; i < 3; ++i) {
        const std::string dest = dir.file("b" + std::to_string(i) + ".tif");
        convert(dng, dest, stops[i]);
        ASSERT_TRUE(status.ok()) << status.consoleText();
        mean[i] = summarizeTiff(dest).mean;
        ASSERT_GT(mean[i], 0.0) << "stops " << stops[i];
    }
    EXPECT_LT(mean[0] + 10, mean[1]);
    EXPECT_LT(mean[1] + 10, mean[2]);
}

TEST_F(RealConverterTest, HalfSizeOptionReplacesDefaults)
{
    settings.converterArgs = "-h";
    const std::string dest = dir.file("half.tif");
    convert(dng, dest, 0);
    ASSERT_TRUE(status.ok()) << status.consoleText();
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
    convert(dng, dest, 0);
    EXPECT_TRUE(status.ok()) << status.consoleText();
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
        EXPECT_EQ(queryRawSize(settings, path, region), 0);
        EXPECT_EQ(region.width, 64);
        std::string info = captureOutput([&] { printRawInfo(settings, run.console, path); });
        EXPECT_NE(info.find("Filename: " + path + "\n"), std::string::npos);
        const std::string dest = dir.file("dest.tif");
        convert(path, dest, 0);
        EXPECT_TRUE(status.ok()) << status.consoleText();
        EXPECT_EQ(summarizeTiff(dest).height, 48u);
    }
    // Relative names that look like converter options stay file names.
    for (const std::string name : {"-h.dng", "+M.dng"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(writeTestDng(dir.file(name)));
        ImageRegion region;
        EXPECT_EQ(queryRawSize(settings, name, region), 0);
        EXPECT_EQ(region.width, 64);
        const std::string dest = dir.file("dest.tif");
        convert(name, dest, 0);
        EXPECT_TRUE(status.ok()) << status.consoleText();
        EXPECT_EQ(summarizeTiff(dest).width, 64u);
        EXPECT_FALSE(fileExists(dir.file(name.substr(0, 2) + ".tiff")));
    }
    for (const char* marker : {"pwned1", "pwned2", "pwned3", "pwned4"})
        EXPECT_FALSE(fileExists(dir.file(marker))) << marker;
}

TEST_F(RealConverterTest, ConverterErrorEndsRun)
{
    writeFile(dir.file("broken.cr2"), "garbage, not a camera file");
    testing::internal::CaptureStderr();
    std::string out = convert(dir.file("broken.cr2"), dir.file("dest.tif"), 0);
    // The converter's own complaint reaches the run's console, not the host's
    // standard error.
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(failedWith(status, 1, kFailureText));
    EXPECT_EQ(out, "\nConverting RAW file...\n" + dir.file("broken.cr2") + ": Unexpected end of file\n"
                   "Return value: 1\n\n");
    EXPECT_FALSE(fileExists(dir.file("dest.tif")));
}

// The argument vectors and line handling, against a stand-in converter.
TEST_F(RawConvertTest, QueryArgumentsAndLastSizeLineWins)
{
    settings.converterPath = writeFakeConverter(
        dir, "echo 'Camera: Output size: bogus'\n"
             "echo 'Output size:   10 x 20'\n"
             "echo 'Pixel aspect: 1.0'\n"
             "printf 'Output size: 4288 x2848'\n");
    ImageRegion region;
    ASSERT_EQ(queryRawSize(settings, "/some dir/a b.nef", region), 0);
    EXPECT_EQ(region.width, 4288);
    EXPECT_EQ(region.height, 2848);
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-i", "-v", "/some dir/a b.nef"}));

    settings.converterPath = writeFakeConverter(dir, "echo 'Image size: 5 x 6'\n");
    EXPECT_EQ(queryRawSize(settings, "x.nef", region), 1);
}

TEST_F(RawConvertTest, InfoCopiesOutputUnchanged)
{
    const std::string text = "Filename: x\nOutput size: 3 x 4\n" + std::string(1500, 'z') + "\nlast";
    writeFile(dir.file("info.txt"), text);
    settings.converterPath = writeFakeConverter(dir, "cat \"${0%/*}/info.txt\"\nexit 4\n");
    int rc = 1;
    std::string out = captureOutput([&] { rc = printRawInfo(settings, run.console, "x.nef"); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, text);
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-i", "-v", "x.nef"}));
}

TEST_F(RawConvertTest, ConversionArgumentsAndStandardOutputIntoTheDestination)
{
    settings.converterPath = writeFakeConverter(dir, kFakeConvert);
    const std::string raw = dir.file("shot.v2.nef");
    writeFile(raw, "raw");
    const std::string dest = dir.file("dest.tif");

    convert(raw, dest, 0);
    ASSERT_TRUE(status.ok()) << status.consoleText();
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-c", "-T", "-H", "2", "-w", "-b", "1.00", raw}));
    EXPECT_EQ(readFile(dest), "converted");
    EXPECT_FALSE(fileExists(dir.file("shot.v2.tiff")));

    settings.converterArgs = "  -q 3\t-w ";
    convert(raw, dest, 2);
    ASSERT_TRUE(status.ok()) << status.consoleText();
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-c", "-T", "-q", "3", "-w", "-b", "4.00", raw}));
    EXPECT_EQ(readFile(dest), "converted") << "an earlier destination is replaced, not appended to";

    settings.converterArgs = "-h";
    convert(raw, dest, -1);
    EXPECT_EQ(recordedArgs(dir), (std::vector<std::string>{"-c", "-T", "-h", "-b", "0.50", raw}));

    // No extension: still only the destination is written.
    const std::string bare = dir.file("shot");
    writeFile(bare, "raw");
    std::remove(dest.c_str());
    convert(bare, dest, 0);
    ASSERT_TRUE(status.ok()) << status.consoleText();
    EXPECT_EQ(readFile(dest), "converted");
    EXPECT_FALSE(fileExists(bare + ".tiff"));
}

TEST_F(RawConvertTest, FailedConversionLeavesNoPartialDestination)
{
    // The converter wrote part of its output, then failed.
    settings.converterPath = writeFakeConverter(dir, "printf partial\nprintf 'no more data' >&2\nexit 3\n");
    writeFile(dir.file("shot.nef"), "raw");
    const std::string dest = dir.file("dest.tif");
    testing::internal::CaptureStderr();
    std::string out = convert(dir.file("shot.nef"), dest, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(failedWith(status, 1, kFailureText));
    EXPECT_EQ(out, "\nConverting RAW file...\nno more data\nReturn value: 3\n\n");
    EXPECT_FALSE(fileExists(dest));

    // A destination that cannot be made: the converter is not started.
    settings.converterPath = writeFakeConverter(dir, kFakeConvert);
    std::remove(dir.file("args.txt").c_str());
    out = convert(dir.file("shot.nef"), dir.file("no/such/folder/dest.tif"), 0);
    EXPECT_TRUE(failedWith(status, 1, kFailureText));
    EXPECT_EQ(out, "\nConverting RAW file...\nReturn value: 126\n\n");
    EXPECT_FALSE(fileExists(dir.file("args.txt")));
}

TEST_F(RawConvertTest, LinkPlantedAtTheDestinationIsReplacedNotFollowed)
{
    settings.converterPath = writeFakeConverter(dir, kFakeConvert);
    writeFile(dir.file("shot.nef"), "raw");
    const std::string victim = dir.file("victim.txt");
    writeFile(victim, "precious");
    const std::string dest = dir.file("dest.tif");
    ASSERT_EQ(symlink(victim.c_str(), dest.c_str()), 0);
    convert(dir.file("shot.nef"), dest, 0);
    ASSERT_TRUE(status.ok()) << status.consoleText();
    EXPECT_EQ(readFile(victim), "precious");
    struct stat st{};
    ASSERT_EQ(lstat(dest.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(readFile(dest), "converted");
}

// "dcraw" is looked for in the run's search path, never the process's PATH;
// a folder or a file that cannot run under the name is passed over.
TEST_F(RawConvertTest, EmptyConverterPathMeansDcrawFromTheSearchPath)
{
    settings.converterPath = "";
    const std::string bin = dir.file("bin");
    const std::string blocked = dir.file("blocked");
    const std::string folderOnly = dir.file("folder");
    mkdir(bin.c_str(), 0755);
    mkdir(blocked.c_str(), 0755);
    mkdir(folderOnly.c_str(), 0755);
    mkdir((folderOnly + "/dcraw").c_str(), 0755);
    writeFile(blocked + "/dcraw", "#!/bin/sh\necho 'Output size: 1 x 1'\n");
    const std::string fake = writeFakeConverter(dir, "echo 'Output size: 7 x 9'\n");
    ASSERT_EQ(rename(fake.c_str(), (bin + "/dcraw").c_str()), 0);

    settings.searchPath = folderOnly + ":" + blocked + "::" + bin;
    ImageRegion region;
    EXPECT_EQ(locateConverter(settings), bin + "/dcraw");
    EXPECT_EQ(queryRawSize(settings, "x.nef", region), 0);
    EXPECT_EQ(region.width, 7);
    EXPECT_EQ(region.height, 9);

    const char* oldPath = std::getenv("PATH");
    const std::string saved = oldPath ? oldPath : "";
    setenv("PATH", bin.c_str(), 1);
    settings.searchPath = dir.file("nothing");
    region = ImageRegion();
    const int rc = queryRawSize(settings, "x.nef", region);
    setenv("PATH", saved.c_str(), 1);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(region.width, 0);
    EXPECT_EQ(locateConverter(settings), "");
}

TEST_F(RawConvertTest, MissingConverter)
{
    for (const char* name : {"/nonexistent/dcraw", "quovix-no-such-converter"}) {
        SCOPED_TRACE(name);
        settings.converterPath = name;
        ImageRegion region;
        EXPECT_EQ(queryRawSize(settings, "x.nef", region), 1);

        int rc = 0;
        std::string out = captureOutput([&] { rc = printRawInfo(settings, run.console, "x.nef"); });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(out, "Error 2 establishing communication with dcraw\n");

        const std::string dest = dir.file("dest.tif");
        out = convert("x.nef", dest, 0);
        EXPECT_TRUE(failedWith(status, 1, kFailureText));
        EXPECT_EQ(out, "\nConverting RAW file...\nReturn value: 127\n\n");
        EXPECT_FALSE(fileExists(dest));
    }
}

// The converter no longer writes "<raw>.tiff" beside the RAW file, so a
// user's file of that name neither stops the conversion nor is touched.
TEST_F(RawConvertTest, ExistingFileUnderTheConvertersOldNameIsKept)
{
    settings.converterPath = writeFakeConverter(dir, kFakeConvert);
    const std::string raw = dir.file("shot.cr2");
    writeFile(raw, "raw");
    writeFile(dir.file("shot.tiff"), "user's own picture");
    const auto before = samples::snapshot(dir.file("shot.tiff"));
    const std::string dest = scratchFor(raw);
    std::string out = convert(raw, dest, 0);
    ASSERT_TRUE(status.ok()) << status.consoleText();
    EXPECT_EQ(out, "\nConverting RAW file...\n");
    EXPECT_EQ(readFile(dest), "converted");
    EXPECT_TRUE(samples::snapshot(dir.file("shot.tiff")) == before);
    EXPECT_EQ(recordedArgs(dir).back(), raw) << "the converter ran";
}

}  // namespace
