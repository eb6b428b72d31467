// The RAW engine on the command line and in whole runs of the program:
// the option, --info, corrupt files and a search path without dcraw.
#include "app/command_line.h"
#include "command_walk.h"
#include "dng_writer.h"
#include "sha256.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

size_t occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST(RawEngineOption, SelectsTheEngineAndRefusesOtherWords)
{
    Walk w = walk({"a.cr2"});
    ASSERT_TRUE(w.goesOn);
    EXPECT_EQ(w.commandLine.options.rawEngine, RawEngine::Dcraw);
    w = walk({"--rawEngine", "libraw", "a.cr2"});
    ASSERT_TRUE(w.goesOn) << w.printed;
    EXPECT_EQ(w.commandLine.options.rawEngine, RawEngine::LibRaw);
    w = walk({"--rawEngine=libraw", "--rawEngine=dcraw", "a.cr2"});
    ASSERT_TRUE(w.goesOn) << w.printed;
    EXPECT_EQ(w.commandLine.options.rawEngine, RawEngine::Dcraw);
    w = walk({"--rawEngine", "LibRaw", "a.cr2"});
    EXPECT_FALSE(w.goesOn);
    EXPECT_EQ(w.exitCode, 1);
    EXPECT_NE(w.printed.find("Invalid RAW engine LibRaw (dcraw or libraw)\n"), std::string::npos) << w.printed;
}

class RawEngineRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!fileExists(QUOVIX_BIN))
            GTEST_SKIP() << "quovix binary not built";
        dng = dir.file("shot.dng");
        ASSERT_TRUE(writeTestDng(dng));
    }
    CommandResult run(const std::vector<std::string>& args, const std::string& searchPath = "")
    {
        std::vector<std::string> env = {"TMPDIR=" + dir.path()};
        if (!searchPath.empty())
            env.push_back("PATH=" + searchPath);
        return runQuovix(args, dir.path(), env);
    }
    TempDir dir;
    std::string dng;
};

TEST_F(RawEngineRunTest, InfoWithEitherEngine)
{
    CommandResult r = run({"--rawEngine", "libraw", "--info", dng});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Camera: Quovix Test Sensor\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Output size: 64 x 48\n"), std::string::npos) << r.output;

    // No dcraw on the search path: LibRaw describes the file after one line.
    r = run({"--info", dng}, dir.file("nobin"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(occurrences(r.output, "dcraw not found: decoding " + dng + " with LibRaw\n"), 1u) << r.output;
    EXPECT_NE(r.output.find("Output size: 64 x 48\n"), std::string::npos) << r.output;
}

TEST_F(RawEngineRunTest, CorruptRawEndsTheRunNamingItWithEitherEngine)
{
    const std::string broken = dir.file("broken.nef");
    writeFile(broken, std::string(4096, '\x5a'));
    for (const char* engine : {"dcraw", "libraw"}) {
        SCOPED_TRACE(engine);
        CommandResult r = run({"--rawEngine", engine, "-o", "out.tif", dng, broken});
        EXPECT_EQ(r.exitCode, 255) << r.output;
        EXPECT_NE(r.output.find("LibRaw cannot decode RAW file " + broken + ": "), std::string::npos) << r.output;
        EXPECT_FALSE(fileExists(dir.file("out.tif")));
    }
}

TEST_F(RawEngineRunTest, SearchPathWithoutDcrawFusesThroughLibRawAtSixteenBits)
{
    CommandResult r = run({"--raw", "-6 -w -H 2", "-b", "1", "-o", "out.tif", dng}, dir.file("nobin"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(occurrences(r.output, "not found: decoding"), 1u) << r.output;
    TIFF* tif = TIFFOpen(dir.file("out.tif").c_str(), "r");
    ASSERT_NE(tif, nullptr);
    uint16_t bits = 0;
    uint32_t width = 0;
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFClose(tif);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(width, 64u);

    // An option LibRaw cannot follow ends the run before any work.
    r = run({"--rawEngine", "libraw", "--raw", "-w -h", "-o", "half.tif", dng});
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("RAW option -h"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(dir.file("half.tif")));
}

TEST_F(RawEngineRunTest, PreviewCacheOfALibRawFallbackIsNotServedOnceDcrawReadsTheFile)
{
    // A scaled run keeps the converted file in a cache. Made by LibRaw while
    // dcraw was missing, it must not stand in for dcraw's conversion later.
    const std::string dcraw = findOnPath("dcraw");
    if (dcraw.empty())
        GTEST_SKIP() << "dcraw not installed";
    const std::string bin = dir.file("bin");
    std::filesystem::create_directories(bin);
    auto preview = [&](const std::string& output) {
        CommandResult r = run({"--gScale", "0.5", "-o", output, dng}, bin);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return sha256OfFile(dir.file(output));
    };
    const std::string byLibRaw = preview("libraw.jpg");
    std::filesystem::create_symlink(dcraw, bin + "/dcraw");
    const std::string afterInstall = preview("dcraw.jpg");
    std::filesystem::remove_all(dir.path() + "/quovix-" + std::to_string(getuid()));
    const std::string byDcraw = preview("fresh.jpg");
    ASSERT_NE(byLibRaw, byDcraw) << "the two engines convert this file alike: the test cannot tell them apart";
    EXPECT_EQ(afterInstall, byDcraw) << "LibRaw's cached conversion was reused";
}

} // namespace
