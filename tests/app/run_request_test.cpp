// Checks made before any work: output format from the extension, output
// depth warnings, preview outputs renamed, sidecar inputs skipped, a single
// input warned about.
#include "app/run_request.h"
#include "image_fixture.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Settled {
    bool ok = false;
    CommandLine commandLine;
    std::string warnings, error;
};

Settled settle(std::vector<std::string> args)
{
    args.insert(args.begin(), "quovix");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Settled s;
    int exitCode = 0;
    std::string printed;
    EXPECT_TRUE(parseCommandLine(static_cast<int>(args.size()), argv.data(), s.commandLine, exitCode, printed));
    s.ok = settleRequest(s.commandLine, s.warnings, s.error);
    return s;
}

TEST(RunRequest, OutputTypeFollowsTheExtension)
{
    for (const char* name : {"x.tif", "x.TIFF", "x.Tif", "x.jpg", "x.JPEG", "x.png", "x.PNG", "dir.d/x", "x"}) {
        const Settled s = settle({"-o", name, "a.tif", "b.tif"});
        EXPECT_TRUE(s.ok) << name << s.error;
        EXPECT_EQ(s.warnings, "") << name;
        EXPECT_EQ(s.commandLine.options.outputPath, name);
    }
    for (const char* name : {"x.webp", "x.bmp", "out.tif.txt"}) {
        const Settled s = settle({"-o", name, "a.tif", "b.tif"});
        EXPECT_FALSE(s.ok) << name;
        EXPECT_EQ(s.error, "Error: cannot write " + std::string(name) + ": unsupported output type ." +
                               lowerExtension(name) + " (supported: .tif, .tiff, .jpg, .jpeg, .png)\n");
    }
    // Names the writer would fill with JPEG bytes whatever their extension.
    for (const char* name : {"holiday.jpg.tif", "d.JPEG/out.tiff", "d.jpg/out"}) {
        const Settled s = settle({"-o", name, "a.tif", "b.tif"});
        EXPECT_FALSE(s.ok) << name;
        EXPECT_EQ(s.error, "Error: cannot write " + std::string(name) +
                               ": a name holding .jpg or .jpeg is written as JPEG; rename it (or its folder) or end "
                               "it in .jpg\n");
    }
    EXPECT_TRUE(settle({"-o", "d.jpg/out.png", "a.tif", "b.tif"}).ok);
    EXPECT_TRUE(settle({"--gScale", "0.5", "-o", "d.jpg/p.tif", "a.tif", "b.tif"}).ok);
}

TEST(RunRequest, PreviewOutputsAreJpegByName)
{
    Settled s = settle({"--gScale", "0.5", "-o", "dir/p.TIF", "a.tif", "b.tif"});
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.commandLine.options.outputPath, "dir/p.jpg");
    EXPECT_EQ(s.warnings, "Warning: preview runs write JPEG: writing dir/p.jpg instead of dir/p.TIF\n");
    s = settle({"--gConstrain", "80x60", "-o", "p.jpg", "a.tif", "b.tif"});
    EXPECT_EQ(s.commandLine.options.outputPath, "p.jpg");
    EXPECT_EQ(s.warnings, "");
    // A name that says nothing gets the type written; a trailing dot is not
    // doubled and a dotted folder is not taken for an extension.
    for (const auto& [name, renamed] : {std::pair<std::string, std::string>{"result", "result.jpg"},
                                        {"result.", "result.jpg"},
                                        {"d.v2/result", "d.v2/result.jpg"},
                                        {"d.jpg/out", "d.jpg/out.jpg"}}) {
        s = settle({"--gScale", "0.5", "-o", name, "a.tif", "b.tif"});
        ASSERT_TRUE(s.ok) << name << s.error;
        EXPECT_EQ(s.commandLine.options.outputPath, renamed);
        EXPECT_EQ(s.warnings, "Warning: preview runs write JPEG: writing " + renamed + " instead of " + name + "\n");
    }
    s = settle({"--gScale", "0.5", "-o", "p.png", "a.tif", "b.tif"});
    EXPECT_EQ(s.commandLine.options.outputPath, "p.png");
    EXPECT_EQ(s.warnings, "");
    // A full-size run writes a name without extension as TIFF, as documented.
    s = settle({"-o", "result", "a.tif", "b.tif"});
    EXPECT_EQ(s.commandLine.options.outputPath, "result");
    EXPECT_EQ(s.warnings, "");
    // A folder keeps its name, to be refused as an output later rather than
    // become a file beside it.
    TempDir dir;
    for (const std::string& folder : {dir.path(), dir.path() + "/"}) {
        s = settle({"--gScale", "0.5", "-o", folder, "a.tif", "b.tif"});
        EXPECT_EQ(s.commandLine.options.outputPath, folder);
        EXPECT_EQ(s.warnings, "");
    }
}

TEST(RunRequest, OneWarningForADepthNotWritten)
{
    struct Case {
        std::vector<std::string> args;
        const char* warning;
    };
    const Case cases[] = {
        {{"-a", "16", "-o", "x.tif"}, ""},
        {{"-a", "8", "-o", "x.jpg"}, ""},
        {{"-a", "16", "-o", "x.jpg"}, "Warning: -a 16 with JPEG output: JPEG holds 8 bits per sample, writing 8\n"},
        {{"-a", "16", "--gScale", "0.5", "-o", "x.jpg"},
         "Warning: -a 16 with JPEG output: JPEG holds 8 bits per sample, writing 8\n"},
        {{"-a", "12", "-o", "x.tif"}, "Warning: -a 12 is not 8 or 16: writing the depth of the deepest input\n"},
        {{"-a", "12", "-o", "x.jpg"},
         "Warning: -a 12 is not 8 or 16: writing the depth of the deepest input (8 bits for JPEG)\n"},
        {{"-a", "16", "-o", "x.png"}, ""},
        {{"-a", "16", "--gScale", "0.5", "-o", "x.png"},
         "Warning: -a 16 in a preview run: previews are written at 8 bits\n"},
        {{"-a", "16", "-a", "x", "-o", "x.tif"},  // the last one counts
         "Warning: -a x is not 8 or 16: writing the depth of the deepest input\n"},
    };
    for (const Case& k : cases) {
        std::vector<std::string> args = k.args;
        args.insert(args.end(), {"a.tif", "b.tif"});
        const Settled s = settle(args);
        EXPECT_TRUE(s.ok);
        EXPECT_EQ(s.warnings, k.warning) << k.args[1] << " " << k.args.back();
    }
}

TEST(RunRequest, SidecarsSkippedAndASingleInputNamed)
{
    Settled s = settle({"a.tif", "a.xmp", "b.CR2", "b.PP3", "c.thm", "d.dop", "IMG.AAE", "x.xmp/y.tif"});
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.commandLine.inputs, (std::vector<std::string>{"a.tif", "b.CR2", "x.xmp/y.tif"}));
    EXPECT_EQ(s.warnings, "Warning: skipping a.xmp: a sidecar file, not an image\n"
                          "Warning: skipping b.PP3: a sidecar file, not an image\n"
                          "Warning: skipping c.thm: a sidecar file, not an image\n"
                          "Warning: skipping d.dop: a sidecar file, not an image\n"
                          "Warning: skipping IMG.AAE: a sidecar file, not an image\n");

    TempDir dir;
    const std::string a = dir.file("a.tif");
    writeFile(a, "");
    s = settle({a, dir.file("a.xmp")});
    EXPECT_EQ(s.warnings, "Warning: skipping " + dir.file("a.xmp") + ": a sidecar file, not an image\n"
                          "Warning: only one input (" + a + "): there is nothing to fuse it with\n");
    // Bracketing makes several images of one input: nothing to warn about.
    s = settle({"-b", "1", a});
    EXPECT_EQ(s.warnings, "");
    s = settle({dir.file("missing.tif")});  // its error says enough
    EXPECT_EQ(s.warnings, "");
}

// As the user sees it: a refused output leaves no file and says why on
// standard error.
TEST(RunRequest, ProgramRefusesBeforeAnyWork)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    TempDir dir;
    for (const char* name : {"a.tif", "b.tif"})
        ASSERT_TRUE(writeFixtureTiff(dir.file(name), makeFixture(16, 16, 3, 8)));
    CommandResult r = runQuovix({"-q", "-o", "out.bmp", "a.tif", "b.tif"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, "Error: cannot write out.bmp: unsupported output type .bmp (supported: .tif, .tiff, .jpg, "
                        ".jpeg, .png)\n");
    EXPECT_FALSE(fileExists(dir.file("out.bmp")));

    r = runQuovix({"-q", "-o", "out.Jpg", "a.tif", "b.tif"}, dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.output, "Error: cannot write out.Jpg: spell a JPEG extension .jpg, .jpeg, .JPG or .JPEG\n");
    EXPECT_FALSE(fileExists(dir.file("out.Jpg")));

    // A preview named without extension is written as a named JPEG, and the
    // name asked for is left alone.
    r = runQuovixApart({"-q", "--gScale", "0.5", "-o", "result", "a.tif", "b.tif"}, dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.output << r.errors;
    EXPECT_EQ(r.errors, "Warning: preview runs write JPEG: writing result.jpg instead of result\n");
    EXPECT_FALSE(fileExists(dir.file("result")));
    EXPECT_EQ(readFile(dir.file("result.jpg")).substr(0, 2), "\xFF\xD8");
}

} // namespace

namespace {

// Frames of different sizes stacked at the top-left corner make a collage:
// one warning when nothing places them, none when positions or equal sizes
// say the stacking is meant.
TEST(RunRequest, FramesOfDifferentSizesWithoutPositionsAreWarnedAbout)
{
    TempDir dir;
    const auto write = [&](const std::string& name, int width, int height, bool positioned) {
        // A placed frame sits 40 pixels in: its position tags say where.
        FixtureImage image = makeFixture(width, height, 3, 8, positioned ? 40 : 0, 0);
        for (int r = 0; r < height; ++r)
            for (int c = 0; c < width; ++c)
                for (int k = 0; k < 3; ++k)
                    image.at(r, c, k) = static_cast<uint16_t>((r * 3 + c * 5 + k * 60) % 256);
        EXPECT_TRUE(writeFixtureTiff(dir.file(name), image, positioned));
        return dir.file(name);
    };
    const std::string landscape = write("land.tif", 120, 80, false);
    const std::string portrait = write("port.tif", 80, 120, false);
    const std::string same = write("same.tif", 120, 80, false);
    const std::string expected = "Warning: inputs differ in size (" + landscape + " 120x80, " + portrait +
                                 " 80x120): placed at the top-left of a 120x120 canvas; for hand-held frames use "
                                 "--align\n";
    const CommandResult mixed = runQuovix({"-o", dir.file("mixed.tif"), landscape, portrait});
    EXPECT_EQ(mixed.exitCode, 0) << mixed.output;
    EXPECT_NE(mixed.output.find(expected), std::string::npos) << mixed.output;
    const CommandResult equal = runQuovix({"-o", dir.file("equal.tif"), landscape, same});
    EXPECT_EQ(equal.exitCode, 0) << equal.output;
    EXPECT_EQ(equal.output.find("differ in size"), std::string::npos) << equal.output;
    const CommandResult positioned =
        runQuovix({"-o", dir.file("placed-out.tif"), landscape, write("placed.tif", 80, 120, true)});
    EXPECT_EQ(positioned.exitCode, 0) << positioned.output;
    EXPECT_EQ(positioned.output.find("differ in size"), std::string::npos) << positioned.output;
}

} // namespace
