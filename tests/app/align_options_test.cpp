// The alignment options on the command line: the walk and the program's ends.
#include "app/command_line.h"
#include "command_walk.h"
#include "image_fixture.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(AlignOptions, EachFormSetsItsFieldAndTurnsAlignmentOn)
{
    Walk w = walk({"a.tif", "b.tif"});
    ASSERT_TRUE(w.goesOn);
    const Options& defaults = w.commandLine.options;
    EXPECT_FALSE(defaults.align);
    EXPECT_EQ(defaults.alignReference, 0);
    EXPECT_EQ(defaults.alignModel, AlignModel::Homography);
    EXPECT_FALSE(defaults.alignCrop);
    EXPECT_TRUE(defaults.alignSave.empty() && defaults.alignLoad.empty() && defaults.alignOnly.empty());

    // --align takes no value: the next argument is an input.
    w = walk({"--align", "a.tif", "b.tif"});
    ASSERT_TRUE(w.goesOn);
    EXPECT_TRUE(w.commandLine.options.align);
    EXPECT_FALSE(w.commandLine.options.alignCrop);
    EXPECT_EQ(w.commandLine.inputs, (std::vector<std::string>{"a.tif", "b.tif"}));

    // The longer forms are not taken for --align (the table matches by substring).
    w = walk({"--alignRef", "3", "--alignModel", "Euclidean", "--alignCrop", "--alignSave", "s.txt", "--alignLoad",
              "l.txt", "--alignOnly", "out", "a.tif"});
    ASSERT_TRUE(w.goesOn) << w.printed;
    const Options& o = w.commandLine.options;
    EXPECT_TRUE(o.align);
    EXPECT_EQ(o.alignReference, 3);
    EXPECT_EQ(o.alignModel, AlignModel::Euclidean);
    EXPECT_TRUE(o.alignCrop);
    EXPECT_EQ(o.alignSave, "s.txt");
    EXPECT_EQ(o.alignLoad, "l.txt");
    EXPECT_EQ(o.alignOnly, "out");
    EXPECT_EQ(w.commandLine.inputs, std::vector<std::string>{"a.tif"});

    for (const char* form : {"--alignRef", "--alignModel", "--alignSave", "--alignLoad", "--alignOnly"}) {
        w = walk({"a.tif", form});
        EXPECT_FALSE(w.goesOn) << form;
        EXPECT_EQ(w.exitCode, 1);
        EXPECT_EQ(w.printed, std::string("Missing value for option ") + form + "\n");
    }
    for (const char* model : {"translation", "euclidean", "affine", "HOMOGRAPHY"}) {
        w = walk({"--alignModel", model, "a.tif"});
        ASSERT_TRUE(w.goesOn) << model;
        EXPECT_EQ(alignModelName(w.commandLine.options.alignModel), std::string(model) == "HOMOGRAPHY"
                                                                         ? std::string("homography")
                                                                         : std::string(model));
    }
}

TEST(AlignOptions, ProgramEndsOnBadValues)
{
    if (!fileExists(QUOVIX_BIN))
        GTEST_SKIP() << "quovix binary not built";
    TempDir dir;
    const std::string a = dir.file("a.tif"), b = dir.file("b.tif");
    ASSERT_TRUE(writeFixtureTiff(a, makeFixture(16, 16, 3, 8)));
    ASSERT_TRUE(writeFixtureTiff(b, makeFixture(16, 16, 3, 8)));
    const std::vector<std::string> env = {"TMPDIR=" + dir.path()};

    CommandResult r = runQuovix({"--alignModel", "shear", a, b}, dir.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Invalid alignment model shear (translation, euclidean, affine or homography)\n"),
              std::string::npos)
        << r.output;

    // Values that are no frame number, and an empty folder, end the run
    // instead of meaning the middle frame or a whole fusion.
    for (const char* value : {"abc", "2x", "-1", ""}) {
        r = runQuovix({"--alignRef", value, "-o", dir.file("out.tif"), a, b}, dir.path(), env);
        EXPECT_EQ(r.exitCode, 1) << value;
        EXPECT_NE(r.output.find("Invalid value '" + std::string(value) + "' for --alignRef (a frame number from 1)\n"),
                  std::string::npos)
            << r.output;
    }
    r = runQuovix({"--alignOnly", "", "-o", dir.file("out.tif"), a, b}, dir.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Invalid value '' for --alignOnly (a folder name)\n"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(dir.file("out.tif")));

    r = runQuovix({"--alignRef", "3", "-o", dir.file("out.tif"), a, b}, dir.path(), env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Fatal Error: Alignment reference 3 out of range 1..2\n"), std::string::npos) << r.output;
    EXPECT_FALSE(fileExists(dir.file("out.tif")));
}

} // namespace
