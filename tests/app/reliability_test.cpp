// Faults found by an outside test campaign, each shown on the whole program:
// wrong pixels from another file's preview cache, hostile files that declare
// huge sizes, negative positions, an output over an input, a pipe as input.
#include "dng_writer.h"
#include "image_fixture.h"
#include "imageio/image_samples.h"
#include "sha256.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string kCrop = sourceDir() + "/tests/data/crusader_crop/";

class ReliabilityTest : public ::testing::Test {
protected:
    CommandResult quovix(const std::vector<std::string>& args)
    {
        return runQuovix(args, dir.path(), {"TMPDIR=" + dir.path()});
    }
    std::string file(const std::string& name) const { return dir.file(name); }
    void copy(const std::string& from, const std::string& to)
    {
        std::filesystem::create_directories(std::filesystem::path(to).parent_path());
        std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    }
    TempDir dir;
};

TEST_F(ReliabilityTest, PreviewCacheServesOnlyTheFileItWasMadeFrom)
{
    // "ab/x.tif" and "ba/x.tif" share the cache name (same base name, same
    // path checksum); each must still be fused from its own pixels.
    copy(kCrop + "crusader1.tif", file("ab/x.tif"));
    copy(kCrop + "crusader6.tif", file("ba/x.tif"));
    auto preview = [&](const std::string& input, const std::string& output) {
        CommandResult r = quovix({"--gScale", "0.5", "-o", output, input});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return sha256OfFile(file(output));
    };
    const std::string first = preview("ab/x.tif", "first.jpg");
    const std::string second = preview("ba/x.tif", "second.jpg");
    EXPECT_NE(first, second) << "the second file was served the first file's cache";
    // A fresh run of each (no cache to reuse) gives the same bytes.
    const std::string cacheFolder = dir.path() + "/quovix-" + std::to_string(getuid());
    EXPECT_EQ(preview("ab/x.tif", "again.jpg"), first) << "its own cache is still used";
    std::filesystem::remove_all(cacheFolder);
    EXPECT_EQ(preview("ba/x.tif", "fresh.jpg"), second);

    // A file replaced at the same path is not served its old cache.
    copy(kCrop + "crusader4.tif", file("ab/x.tif"));
    const std::string replaced = preview("ab/x.tif", "replaced.jpg");
    std::filesystem::remove_all(cacheFolder);
    EXPECT_EQ(preview("ab/x.tif", "replacedFresh.jpg"), replaced);
    EXPECT_NE(replaced, first);

    // Rewritten in place (same inode, same size) with its modification time
    // restored afterwards, as a careless sync tool does.
    const std::string target = file("inplace/x.tif");
    std::filesystem::create_directories(file("inplace"));
    ASSERT_TRUE(writeFixtureTiff(target, readFixtureTiff(kCrop + "crusader1.tif")));
    ASSERT_TRUE(writeFixtureTiff(file("other.tif"), readFixtureTiff(kCrop + "crusader6.tif")));
    const std::string before = preview("inplace/x.tif", "inplace-before.jpg");
    struct stat old{};
    ASSERT_EQ(stat(target.c_str(), &old), 0);
    const std::string other = readFile(file("other.tif"));
    ASSERT_EQ(other.size(), static_cast<size_t>(old.st_size)) << "uncompressed crops of one size";
    {
        FILE* f = std::fopen(target.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(other.data(), 1, other.size(), f), other.size());
        std::fclose(f);
    }
    const timespec times[2] = {old.st_atim, old.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, target.c_str(), times, 0), 0);
    EXPECT_NE(preview("inplace/x.tif", "inplace-after.jpg"), before) << "the stale cache came back";
}

TEST_F(ReliabilityTest, TinyFilesDeclaringHugeSizesAreRefusedBeforeAnyWork)
{
    // 16000 x 16000 (under the size limit) in a file of a few hundred bytes,
    // placed second: refused while the list is built, so the first input's
    // huge canvas is never analysed.
    writeFile(file("huge.tif"), samples::handMadeGreyTiff(16000, 16000, 2));
    CommandResult r = quovix({"-o", "out.tif", kCrop + "crusader1.tif", "huge.tif"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.output.find("Unsupported image file huge.tif: strip 0 lies outside the file"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("Analyzing"), std::string::npos) << r.output;

    // A JPEG header declaring 32768 x 7720 pixels with a few bytes of scan data.
    std::string jpeg = samples::encodeSampleJpeg(64, 64, 3, JCS_RGB, 90);
    const size_t sof = jpeg.find("\xFF\xC0", 2);
    ASSERT_NE(sof, std::string::npos);
    jpeg[sof + 5] = char(7720 >> 8);
    jpeg[sof + 6] = char(7720 & 0xFF);
    jpeg[sof + 7] = char(32768 >> 8);
    jpeg[sof + 8] = char(32768 & 0xFF);
    const size_t sos = jpeg.find("\xFF\xDA", sof);
    ASSERT_NE(sos, std::string::npos);
    const size_t scan = sos + 2 + ((static_cast<unsigned char>(jpeg[sos + 2]) << 8) | static_cast<unsigned char>(jpeg[sos + 3]));
    writeFile(file("huge.jpg"), jpeg.substr(0, scan + 8) + "\xFF\xD9");
    r = quovix({"-o", "out.tif", kCrop + "crusader1.tif", "huge.jpg"});
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_NE(r.output.find("Unsupported image file huge.jpg: file too small for 32768x7720 pixels"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("Analyzing"), std::string::npos) << r.output;

    // A genuine file near its codec's best ratio (a flat PackBits image,
    // about 62:1) is not mistaken for a forged one.
    samples::SampleTiff flat;
    flat.width = 4000;
    flat.height = 400;
    flat.samples = 1;
    flat.photometric = PHOTOMETRIC_MINISBLACK;
    flat.compression = COMPRESSION_PACKBITS;
    samples::writeSampleTiff(file("flat.tif"), flat, std::vector<unsigned char>(1600000, 7));
    ASSERT_LT(std::filesystem::file_size(file("flat.tif")), 40000u);
    r = quovix({"-o", "out.tif", "flat.tif"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

// Rewrites the X and Y position tags of a little-endian TIFF as signed
// rationals with negated numerators (libtiff itself refuses to write them).
void negatePositions(const std::string& path)
{
    std::string bytes = readFile(path);
    auto get16 = [&](size_t at) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
                                         static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8; };
    auto get32 = [&](size_t at) { return get16(at) | get16(at + 2) << 16; };
    const size_t ifd = get32(4);
    const uint32_t entries = get16(ifd);
    for (uint32_t e = 0; e < entries; ++e) {
        const size_t at = ifd + 2 + 12 * e;
        const uint32_t tag = get16(at);
        if (tag != TIFFTAG_XPOSITION && tag != TIFFTAG_YPOSITION)
            continue;
        bytes[at + 2] = 10;  // SRATIONAL
        const size_t value = get32(at + 8);
        const int32_t negated = -static_cast<int32_t>(get32(value));
        for (int i = 0; i < 4; ++i)
            bytes[value + i] = static_cast<char>((static_cast<uint32_t>(negated) >> (8 * i)) & 0xFF);
    }
    writeFile(path, bytes);
}

TEST_F(ReliabilityTest, NegativePositionsAreRefusedNamingTheFile)
{
    FixtureImage image = makeFixture(24, 16, 3, 8);
    ASSERT_TRUE(writeFixtureTiff(file("a.tif"), image));
    FixtureImage shifted = makeFixture(24, 16, 3, 8, 50, 50);
    ASSERT_TRUE(writeFixtureTiff(file("b.tif"), shifted));
    negatePositions(file("b.tif"));
    CommandResult r = quovix({"-o", "out.tif", "a.tif", "b.tif"});
    EXPECT_EQ(r.exitCode, 255) << r.output;
    EXPECT_NE(r.output.find("Unsupported image file b.tif: negative position"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Error writing scanline"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(file("out.tif")));
}

TEST_F(ReliabilityTest, OutputNamingAnInputIsRefusedAndTheInputSurvives)
{
    copy(kCrop + "crusader1.tif", file("in.tif"));
    copy(kCrop + "crusader2.tif", file("other.tif"));
    const samples::FileSnapshot before = samples::snapshot(file("in.tif"));
    ASSERT_EQ(symlink("in.tif", file("alias.tif").c_str()), 0);
    for (const std::string& output : {std::string("in.tif"), std::string("./in.tif"), std::string("alias.tif"),
                                      file("in.tif")}) {
        CommandResult r = quovix({"-o", output, "other.tif", "in.tif"});
        EXPECT_EQ(r.exitCode, 1) << output;
        EXPECT_NE(r.output.find("Fatal Error: Output file " + output + " is the input file in.tif\n"),
                  std::string::npos)
            << r.output;
        EXPECT_EQ(r.output.find("Analyzing"), std::string::npos) << "refused before any work";
        EXPECT_TRUE(samples::snapshot(file("in.tif")) == before) << output;
    }
}

TEST_F(ReliabilityTest, NonRegularInputsAreRefusedAtOnce)
{
    ASSERT_EQ(mkfifo(file("pipe.tif").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(file("folder.jpg").c_str(), 0700), 0);
    for (const std::string& name : {std::string("pipe.tif"), std::string("folder.jpg")}) {
        CommandResult r = quovix({"-o", "out.tif", kCrop + "crusader1.tif", name});
        EXPECT_EQ(r.exitCode, 255) << name;
        EXPECT_NE(r.output.find("Unsupported image file " + name + ": not a regular file"), std::string::npos)
            << r.output;
    }
}

TEST_F(ReliabilityTest, HalfSizeRawConversionFillsTheWholeOutput)
{
    // The converter's -h makes a half-size image: the output has that size and
    // every pixel of it is present (not a quarter picture in one corner).
    if (!programOnPath("dcraw"))
        GTEST_SKIP() << "dcraw is not installed on PATH";
    ASSERT_TRUE(writeTestDng(file("shot.dng")));
    CommandResult r = quovix({"--raw", "-w -h", "-a", "16", "-o", "half.tif", "shot.dng"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const FixtureImage out = readFixtureTiff(file("half.tif"));
    EXPECT_EQ(out.width, 32);
    EXPECT_EQ(out.height, 24);
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x)
            ASSERT_EQ(out.at(y, x, 3), 65535) << "absent pixel at " << x << "," << y;
}

} // namespace

namespace {

// The program under a resource limit, as `ulimit` sets it, with what it
// printed.
struct LimitedRun {
    bool exited = false;  // false: killed by a signal
    int code = -1;
    int signal = 0;
    std::string output;
};

LimitedRun runWithLimit(int resource, rlimit limit, const std::vector<std::string>& args, const std::string& workDir)
{
    std::vector<std::string> strings = {QUOVIX_BIN};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const std::string tmp = "TMPDIR=" + workDir;
    const std::string workers = "NUMBER_OF_PROCESSORS=2";
    std::vector<char*> envp = {const_cast<char*>(tmp.c_str()), const_cast<char*>(workers.c_str()), nullptr};
    const std::string printed = workDir + "/.printed";
    LimitedRun result;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        const int out = open(printed.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 0);
        dup2(out, 1);
        dup2(out, 2);
        close(null);
        close(out);
        if (chdir(workDir.c_str()) != 0)
            _exit(126);
        setrlimit(resource, &limit);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return result;
    result.exited = WIFEXITED(status);
    result.code = result.exited ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.output = readFile(printed);
    std::remove(printed.c_str());
    return result;
}

LimitedRun runWithAddressLimit(rlim_t bytes, const std::vector<std::string>& args, const std::string& workDir)
{
    return runWithLimit(RLIMIT_AS, rlimit{bytes, bytes}, args, workDir);
}

} // namespace

// Memory that runs out anywhere in a run (buffers, worker and writer threads,
// strip encoders) ends it with a clean failure: no crash, no abort, no half
// written file reported as written, the previous output intact, no scratch
// left. The sweep raises the limit from where the program cannot even start
// to where the run succeeds, so every stage meets the limit on the way.
TEST_F(ReliabilityTest, RunsOutOfMemoryEndCleanlyAnywhere)
{
    if (QUOVIX_SANITIZED)
        GTEST_SKIP() << "the sanitizer's shadow memory needs the address space the limit takes away";
    std::vector<std::string> inputs;
    for (int k = 0; k < 3; ++k) {
        FixtureImage image = makeFixture(1400, 1000, 3, 16);
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
                for (int s = 0; s < 3; ++s)
                    image.at(y, x, s) = static_cast<uint16_t>(((x * 37 + y * 11 + s * 5000) % 20000) * (k + 1));
        inputs.push_back(file("big" + std::to_string(k) + ".tif"));
        ASSERT_TRUE(writeFixtureTiff(inputs.back(), image));
    }
    const std::string out = file("out/fused.jpg");
    std::filesystem::create_directories(file("out"));
    std::vector<std::string> args = {"-c", "-o", out};
    args.insert(args.end(), inputs.begin(), inputs.end());
    int outOfMemory = 0;
    bool succeeded = false;
    for (rlim_t limit = rlim_t{48} << 20; limit < (rlim_t{2} << 30) && !succeeded; limit += limit / 8) {
        SCOPED_TRACE("address space limit " + std::to_string(limit >> 20) + " MB");
        writeFile(out, "old");
        const LimitedRun r = runWithAddressLimit(limit, args, dir.path());
        ASSERT_TRUE(r.exited) << "killed by signal " << r.signal;
        // 127: the loader could not even map the program's libraries.
        ASSERT_TRUE(r.code == 0 || r.code == 156 || r.code == 255 || r.code == 1 || r.code == 127) << r.code;
        outOfMemory += r.code == 156;
        succeeded = r.code == 0;
        if (!succeeded) {
            EXPECT_EQ(readFile(out), "old");
        }
        size_t entries = 0;
        for (const auto& entry : std::filesystem::directory_iterator(file("out"))) {
            EXPECT_EQ(entry.path().filename().string()[0], 'f') << entry.path();
            ++entries;
        }
        EXPECT_EQ(entries, 1u);
        std::error_code ec;
        const std::string privateFolder = dir.path() + "/quovix-" + std::to_string(getuid());
        for (const auto& entry : std::filesystem::recursive_directory_iterator(privateFolder, ec))
            ADD_FAILURE() << "left behind: " << entry.path();
    }
    EXPECT_TRUE(succeeded);
    EXPECT_GT(outOfMemory, 0) << "the sweep never reached the run's own buffers";
    const std::string bytes = readFile(out);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(bytes.substr(0, 3), "\xFF\xD8\xFF");
}

TEST_F(ReliabilityTest, OutputFolderIsCheckedBeforeAnyWork)
{
    writeFile(file("plain"), "a file, not a folder");
    struct Case {
        std::string output;
        std::string folder;
        std::string reason;
    };
    // (A missing folder is the end-to-end test's.)
    std::vector<Case> cases = {
        {"plain/out.tif", "plain", std::strerror(ENOTDIR)},
        {"plain/deeper/out.tif", "plain/deeper", std::strerror(ENOTDIR)},
    };
    // Permissions bind everyone but root.
    if (geteuid() != 0) {
        std::filesystem::create_directories(file("locked"));
        chmod(file("locked").c_str(), 0500);
        cases.push_back({"locked/out.jpg", "locked", std::strerror(EACCES)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const CommandResult r = quovix({"-o", c.output, kCrop + "crusader1.tif", kCrop + "crusader4.tif"});
        EXPECT_EQ(r.exitCode, 255);
        const std::string line = "Cannot write output file " + c.output + ": folder " + c.folder + ": " + c.reason + "\n";
        EXPECT_TRUE(r.output.size() >= line.size() && r.output.substr(r.output.size() - line.size()) == line)
            << r.output;
        EXPECT_EQ(r.output.find("Analyzing"), std::string::npos) << r.output;
        EXPECT_FALSE(fileExists(file(c.output)));
    }
    // A folder that exists takes the output.
    const CommandResult r = quovix({"-o", "plain-out.tif", kCrop + "crusader1.tif", kCrop + "crusader4.tif"});
    EXPECT_EQ(r.exitCode, 0) << r.output;
}

// The combination keeps every image's level files open at once. A run with
// more images than the soft limit on open files allows raises it to the hard
// limit; when even that is too low, the run stops before any work with one
// line saying how many files it needs and which limit to raise.
TEST_F(ReliabilityTest, OpenFileLimitIsRaisedOrNamedBeforeAnyWork)
{
    std::vector<std::string> args = {"-o", "fused.tif"};
    for (int k = 0; k < 24; ++k) {
        FixtureImage image = makeFixture(24, 16, 3, 8);
        for (int y = 0; y < image.height; ++y)
            for (int x = 0; x < image.width; ++x)
                for (int c = 0; c < 3; ++c)
                    image.at(y, x, c) = static_cast<uint16_t>((x * 9 + y * 5 + c * 40 + k * 7) % 256);
        args.push_back("in" + std::to_string(k) + ".tif");
        ASSERT_TRUE(writeFixtureTiff(file(args.back()), image));
    }
    rlimit own{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &own), 0);
    // 24 images of two open files each and the margin need about 114; the
    // libraries and the program start with far fewer.
    if (own.rlim_max != RLIM_INFINITY && own.rlim_max < 256)
        GTEST_SKIP() << "the hard limit on open files of this test is " << own.rlim_max;

    const LimitedRun tooFew = runWithLimit(RLIMIT_NOFILE, rlimit{48, 48}, args, dir.path());
    ASSERT_TRUE(tooFew.exited) << "killed by signal " << tooFew.signal;
    EXPECT_EQ(tooFew.code, 255) << tooFew.output;
    // After the banner, the one line and nothing else.
    const std::string line = "Fusing 24 images needs 114 open files; the limit is 48 and its hard limit 48: raise the "
                             "hard limit on open files (ulimit -Hn 114 as root, or nofile in "
                             "/etc/security/limits.conf)\n";
    ASSERT_GE(tooFew.output.size(), line.size());
    EXPECT_EQ(tooFew.output.substr(tooFew.output.size() - line.size()), line) << tooFew.output;
    EXPECT_EQ(tooFew.output.find("in0.tif"), std::string::npos) << "an input was read: " << tooFew.output;
    EXPECT_FALSE(fileExists(file("fused.tif")));
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(file("quovix-" + std::to_string(getuid())), ec))
        ADD_FAILURE() << "made before the check: " << entry.path();

    const LimitedRun raised = runWithLimit(RLIMIT_NOFILE, rlimit{48, 256}, args, dir.path());
    ASSERT_TRUE(raised.exited) << "killed by signal " << raised.signal;
    EXPECT_EQ(raised.code, 0) << raised.output;
    EXPECT_TRUE(fileExists(file("fused.tif")));
}
