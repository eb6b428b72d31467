// Where each message goes: console text on standard output, left out by -q;
// warnings on standard error, kept by -q; the lines of a failure and values
// reset to their defaults on standard output, kept by -q.
#include "app/console_view.h"
#include "image_fixture.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>

namespace {

using quovix::MessageKind;

struct Printed {
    std::string out;
    std::string err;
};

Printed shown(bool quiet, bool sharedTerminal, const std::function<void(ConsoleView&)>& body)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    {
        ConsoleView view(quiet, false, sharedTerminal);
        body(view);
    }
    Printed p;
    p.err = testing::internal::GetCapturedStderr();
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

TEST(MessageStreams, EachKindGoesToItsStreamAndQuietKeepsWarningsAndNotices)
{
    auto everyKind = [](ConsoleView& view) {
        view.message(MessageKind::Info, "Analyzing a.tif");
        view.message(MessageKind::Warning, "Warning: w\n");
        view.message(MessageKind::Info, ".\n");
        view.message(MessageKind::Trace, "Mem|1|alloc\n");
        view.message(MessageKind::Notice, "Invalid Gamma value...resetting\n");
    };
    Printed p = shown(false, false, everyKind);
    EXPECT_EQ(p.out, "Analyzing a.tif.\nMem|1|alloc\nInvalid Gamma value...resetting\n");
    EXPECT_EQ(p.err, "Warning: w\n");

    p = shown(true, false, everyKind);
    EXPECT_EQ(p.out, "Invalid Gamma value...resetting\n");
    EXPECT_EQ(p.err, "Warning: w\n");

    // One terminal for both: a warning never continues an unfinished line.
    p = shown(false, true, everyKind);
    EXPECT_EQ(p.err, "\nWarning: w\n");
}

class ProgramMessages : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(writeFixtureTiff(dir.file("wide.tif"), makeFixture(64, 48, 3, 8), false));
        ASSERT_TRUE(writeFixtureTiff(dir.file("tall.tif"), makeFixture(48, 64, 3, 8), false));
    }
    CommandResult run(const std::vector<std::string>& args)
    {
        return runQuovixApart(args, dir.path(), {"TMPDIR=" + dir.path()});
    }
    TempDir dir;
};

TEST_F(ProgramMessages, QuietRunsShowWarningsOnStandardErrorAndNothingElse)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    const std::string sizes = "Warning: inputs differ in size (wide.tif 64x48, tall.tif 48x64): placed at the "
                              "top-left of a 64x64 canvas; for hand-held frames use --align\n";
    // The library's warning, as a quiet run shows it: alone, on stderr.
    CommandResult r = run({"-q", "-o", "q.tif", "wide.tif", "tall.tif"});
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.errors, sizes);

    // Not quiet: the console text on stdout without the warning, the warning
    // and the closing summary on stderr.
    r = run({"-o", "loud.tif", "wide.tif", "tall.tif"});
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(r.output.rfind(programBanner(), 0), 0u) << r.output;
    EXPECT_NE(r.output.find("Analyzing"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find("Warning"), std::string::npos) << r.output;
    EXPECT_EQ(r.errors.rfind(sizes + "Wrote loud.tif: 64x64 pixels, 8 bits per sample, ", 0), 0u) << r.errors;

    // The command line's own warnings, and a value reset to its default
    // (classic console text on stdout), stay under -q.
    r = run({"-q", "-k", "11", "-a", "12", "-o", "one.tif", "wide.tif"});
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(r.output, "Invalid Gamma value...resetting\n");
    EXPECT_EQ(r.errors, "Warning: -a 12 is not 8 or 16: writing the depth of the deepest input\n"
                        "Warning: only one input (wide.tif): there is nothing to fuse it with\n");
}

// A batch keeps each group's console text to itself, but not its warnings:
// they come named after the group's output, quiet or not.
TEST_F(ProgramMessages, BatchGroupsPassOnTheirWarnings)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    std::filesystem::create_directories(dir.file("card"));
    std::filesystem::rename(dir.file("wide.tif"), dir.file("card/wide.tif"));
    std::filesystem::rename(dir.file("tall.tif"), dir.file("card/tall.tif"));
    const CommandResult r = run({"-q", "--batch", "out", "--group", "2", "card"});
    ASSERT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(r.output, "");
    const std::regex line(R"(out/[^ ]+_fused_[^ ]+\.tif: Warning: inputs differ in size \(card/\w+\.tif \d+x\d+, )"
                          R"(card/\w+\.tif \d+x\d+\): placed at the top-left of a 64x64 canvas; for hand-held frames )"
                          R"(use --align\n)");
    EXPECT_TRUE(std::regex_match(r.errors, line)) << r.errors;
}

TEST_F(ProgramMessages, QuietFailuresKeepEveryLineOfTheError)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    // A TIFF header and nothing readable behind it.
    writeFile(dir.file("broken.tif"), std::string("II*\0", 4) + std::string(200, '\x5a'));
    const CommandResult loud = run({"-o", "x.tif", "wide.tif", "broken.tif"});
    const CommandResult quiet = run({"-q", "-o", "x.tif", "wide.tif", "broken.tif"});
    ASSERT_NE(loud.exitCode, 0);
    EXPECT_EQ(quiet.exitCode, loud.exitCode);
    // Quiet keeps the tail of the console text from the failure's first line on.
    ASSERT_FALSE(quiet.output.empty());
    ASSERT_GE(loud.output.size(), quiet.output.size());
    EXPECT_EQ(loud.output.substr(loud.output.size() - quiet.output.size()), quiet.output) << quiet.output;
    EXPECT_NE(quiet.output.find("Couldn't open TIFF file: broken.tif\n"), std::string::npos) << quiet.output;
    // libtiff's own complaints, on stderr either way.
    EXPECT_EQ(quiet.errors, loud.errors);
}

} // namespace
