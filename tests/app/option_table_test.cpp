// The option table as the user meets it: unknown options warned about and
// skipped, full spelling for the newer options, --name=value, "--" before
// input names, --help and --version, -q, and the texts made from the table
// (help section, man page section, completion).
#include "app/command_line.h"
#include "command_walk.h"
#include "app/option_table.h"
#include "test_util.h"

#include "quovix/version.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Inputs = std::vector<std::string>;

TEST(OptionWalk, UnknownOptionsAreWarnedWithTheNearestAndSkipped)
{
    struct Case {
        std::vector<std::string> args;
        const char* warning;
    };
    const Case cases[] = {
        {{"--algin", "a.tif"}, "Warning: unknown option --algin ignored (did you mean --align?)\n"},
        // Once matched anywhere inside the argument: no longer alignment.
        {{"--no-align", "a.tif"}, "Warning: unknown option --no-align ignored (did you mean --align?)\n"},
        {{"--alignCropped", "a.tif"},
         "Warning: unknown option --alignCropped ignored (did you mean --alignCrop?)\n"},
        {{"--scratchcompression=NONE", "a.tif"},
         "Warning: unknown option --scratchcompression ignored (did you mean --scratchCompression?)\n"},
        {{"--compresion", "a.tif"}, "Warning: unknown option --compresion ignored (did you mean --compression?)\n"},
        {{"--versoin", "a.tif"}, "Warning: unknown option --versoin ignored (did you mean --version?)\n"},
        {{"--xyzzy", "a.tif"}, "Warning: unknown option --xyzzy ignored\n"},
        {{"-g", "a.tif"}, "Warning: unknown option -g ignored\n"},
        {{"-dq", "a.tif"}, "Warning: unknown option -dq ignored (did you mean -d?)\n"},
        {{"-quiet", "a.tif"}, "Warning: unknown option -quiet ignored (did you mean --quiet?)\n"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.args[0]);
        const Walk w = walk(k.args);
        EXPECT_TRUE(w.goesOn);
        EXPECT_EQ(w.warnings, k.warning);
        EXPECT_EQ(w.printed, "");
        EXPECT_FALSE(w.commandLine.options.align);
        EXPECT_FALSE(w.commandLine.quiet);
        EXPECT_FALSE(w.commandLine.options.scratchCompression.has_value());
        // An unknown option takes no value: the next argument stays an input.
        EXPECT_EQ(w.commandLine.inputs, Inputs{"a.tif"});
    }
    // An unknown noise form still swallows the argument after it.
    const Walk noise = walk({"-nx", "a.tif", "b.tif"});
    EXPECT_EQ(noise.commandLine.inputs, Inputs{"b.tif"});
    EXPECT_NE(noise.warnings.find("unknown option -nx"), std::string::npos);
}

TEST(OptionWalk, ClassicOptionsMatchLooselyNewerOnesOnlyInFull)
{
    // Classic: found inside the argument, and by the selecting character.
    Walk w = walk({"---cBrX", "2", "-vvv", "-cxyz", "a.tif"});
    EXPECT_EQ(w.warnings, "");
    EXPECT_FLOAT_EQ(w.commandLine.options.curve.brightness, 2.0f);
    EXPECT_EQ(w.commandLine.options.verbosity, 1);
    EXPECT_TRUE(w.commandLine.options.useYCrCb);
    // Newer: exact.
    w = walk({"--noMetadata", "--alignCrop", "--quiet", "a.tif"});
    EXPECT_EQ(w.warnings, "");
    EXPECT_TRUE(w.commandLine.options.noMetadata);
    EXPECT_TRUE(w.commandLine.options.align && w.commandLine.options.alignCrop);
    EXPECT_TRUE(w.commandLine.quiet);
    w = walk({"-q", "a.tif"});
    EXPECT_TRUE(w.commandLine.quiet);
    w = walk({"--noMetadataX", "---align", "a.tif"});
    EXPECT_FALSE(w.commandLine.options.noMetadata);
    EXPECT_FALSE(w.commandLine.options.align);
    EXPECT_EQ(w.commandLine.inputs, Inputs{"a.tif"});
}

TEST(OptionWalk, LongOptionsTakeJoinedValues)
{
    Walk w = walk({"--compression=NONE", "-o", "eq.tif", "--cBr=1,5", "--alignSave=a=b.txt", "--wMode1=2",
                   "--raw=-H 0", "a.tif"});
    ASSERT_TRUE(w.goesOn) << w.printed;
    const Options& o = w.commandLine.options;
    EXPECT_EQ(o.compression, Compression::None);
    EXPECT_EQ(o.outputPath, "eq.tif");
    EXPECT_FLOAT_EQ(o.curve.brightness, 1.5f);
    EXPECT_EQ(o.alignSave, "a=b.txt");  // split at the first '='
    EXPECT_EQ(o.iteration1.mode, CombineMode::Hybrid);
    EXPECT_EQ(o.converterArgs, "-H 0");
    EXPECT_EQ(w.commandLine.inputs, Inputs{"a.tif"});
    EXPECT_EQ(w.warnings, "");

    // An empty joined value is a value (for the checks after the walk), not
    // a reason to take the next argument.
    w = walk({"--alignOnly=", "a.tif"});
    EXPECT_EQ(w.printed, "Invalid value '' for --alignOnly (a folder name)\n");
    EXPECT_EQ(w.commandLine.options.alignOnly, "");

    // A flag given a value: applied, the value named as ignored.
    w = walk({"--bigtiff=no", "a.tif"});
    EXPECT_TRUE(w.commandLine.options.bigTiff);
    EXPECT_EQ(w.warnings, "Warning: --bigtiff takes no value; no ignored\n");
}

TEST(OptionWalk, DoubleDashEndsTheOptions)
{
    Walk w = walk({"-v", "--", "-2.tif", "--align", "--", "/o"});
    ASSERT_TRUE(w.goesOn);
    EXPECT_EQ(w.commandLine.inputs, (Inputs{"-2.tif", "--align", "--", "/o"}));
    EXPECT_FALSE(w.commandLine.options.align);
    EXPECT_EQ(w.commandLine.options.verbosity, 1);
    EXPECT_EQ(w.warnings, "");
    // Without it the name is an option.
    w = walk({"-2.tif", "a.tif"});
    EXPECT_EQ(w.commandLine.inputs, Inputs{"a.tif"});
}

TEST(OptionWalk, HelpAndVersionEndTheWalk)
{
    const Walk help = walk({"-p", "1", "--help", "a.tif"});
    EXPECT_FALSE(help.goesOn);
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.printed, walk({"-p", "1", "-h"}).printed);
    EXPECT_NE(help.printed.find("Default=1\n"), std::string::npos);

    const Walk version = walk({"--version", "-h"});
    EXPECT_FALSE(version.goesOn);
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.printed, "Quovix " QUOVIX_VERSION "\n");
    EXPECT_FALSE(version.commandLine.showBanner);
}

// Every option the classic help text leaves out is listed after it, with
// its value placeholder; the converter is named as it is on this platform.
TEST(OptionTexts, HelpListsEveryOptionBeyondTheClassicText)
{
    const std::string usage = walk({"-h"}).printed;
    EXPECT_EQ(usage.find(".exe"), std::string::npos);
    EXPECT_EQ(usage.find("DCRaw"), std::string::npos);
    EXPECT_NE(usage.find("location of dcraw\n"), std::string::npos);
    const size_t classicEnd = usage.find("show information about raw file specified in file\n");
    ASSERT_NE(classicEnd, std::string::npos);
    const std::string extra = usage.substr(classicEnd);
    int listed = 0;
    for (const OptionRow& row : optionTable()) {
        if (row.group == OptionGroup::Classic) {
            EXPECT_STREQ(row.help, "") << row.name;
            continue;
        }
        std::string spelled = std::string(" ") + row.name;
        if (row.kind != ValueKind::None)
            spelled += std::string(" ") + row.valueName;
        EXPECT_NE(extra.find(spelled + " "), std::string::npos) << spelled;
        EXPECT_GT(std::string(row.help).size(), 10u) << row.name;
        ++listed;
    }
    EXPECT_GE(listed, 15);
}

TEST(OptionTexts, ManPageHoldsTheGeneratedSection)
{
    const std::string page = readFile(sourceDir() + "/quovix.1");
    EXPECT_NE(page.find(manPageOptionsSection()), std::string::npos)
        << "quovix.1 is out of date: run `build/quovix_docs man quovix.1`";
}

TEST(OptionTexts, CompletionOffersEveryOptionAndTheValuesItKnows)
{
    if (!programOnPath("bash"))
        GTEST_SKIP() << "no bash";
    TempDir dir;
    writeFile(dir.file("quovix.bash"), bashCompletionScript());
    // Completes the words as bash would for the line typed so far.
    auto complete = [&](const std::string& line) {
        writeFile(dir.file("complete.sh"), "source " + dir.file("quovix.bash") + "\nCOMP_WORDS=(" + line +
                                               ")\nCOMP_CWORD=$((${#COMP_WORDS[@]}-1))\n_quovix\n"
                                               "printf '%s\\n' \"${COMPREPLY[@]}\"\n");
        const std::string command = "cd " + dir.path() + " && bash complete.sh 2>&1";
        std::string out;
        FILE* pipe = popen(command.c_str(), "r");
        char buffer[4096];
        for (size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, n);
        if (pipe != nullptr)
            pclose(pipe);
        return out;
    };
    EXPECT_EQ(complete("quovix --alignM"), "--alignModel\n");
    EXPECT_EQ(complete("quovix --scratchCompression P"), "PACKBITS\n");
    EXPECT_EQ(complete("quovix --alignModel h"), "homography\n");
    writeFile(dir.file("shot1.tif"), "");
    EXPECT_EQ(complete("quovix -o sh"), "shot1.tif\n");
    EXPECT_EQ(complete("quovix -p \"\""), "\n");  // a number: nothing to offer
    const std::string all = complete("quovix -");
    for (const OptionRow& row : optionTable())
        EXPECT_NE(all.find(std::string(row.name) + "\n"), std::string::npos) << row.name;
}

TEST(OptionProgram, QuietVersionAndWarningsAsTheUserSeesThem)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    CommandResult r = runQuovix({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "Quovix " QUOVIX_VERSION "\n");

    r = runQuovix({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output.rfind(programBanner() + " Usage: \n", 0), 0u);

    // Quiet: no banner; the warning and the error remain.
    TempDir dir;
    r = runQuovix({"-q", "--algin", dir.file("missing.tif")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, "Warning: unknown option --algin ignored (did you mean --align?)\n"
                        "Error: Cannot open file: " + dir.file("missing.tif") + "\n");
}

} // namespace

// --focusMode takes its two words; anything else ends the run rather than
// quietly fusing with the other mode.
TEST(OptionWalk, FocusModeTakesItsKeywordsOnly)
{
    Walk w = walk({"--focusMode", "select", "a.tif"});
    ASSERT_TRUE(w.goesOn) << w.printed;
    EXPECT_EQ(w.commandLine.options.focusMode, FocusMode::Select);
    w = walk({"--focusMode=select", "--focusMode", "classic", "a.tif"});
    ASSERT_TRUE(w.goesOn) << w.printed;
    EXPECT_EQ(w.commandLine.options.focusMode, FocusMode::Classic);
    w = walk({"--focusMode", "Select", "a.tif"});
    EXPECT_FALSE(w.goesOn);
    EXPECT_EQ(w.exitCode, kExitFatal);
    EXPECT_EQ(w.printed, "Invalid value 'Select' for --focusMode (select or classic)\n");
}
