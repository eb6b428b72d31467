// The library example program fuses three files through the public header
// alone, and its result is the program's.
#include "sha256.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

TEST(LibraryExample, FusesThreeFilesLikeTheProgram)
{
    TempDir dir;
    const std::string crop = sourceDir() + "/tests/data/crusader_crop/";
    const std::string inputs = crop + "crusader1.tif " + crop + "crusader4.tif " + crop + "crusader6.tif";
    const std::string viaLibrary = dir.file("library.tif");
    const std::string command = std::string("TMPDIR=") + dir.path() + " " + QUOVIX_EXAMPLE_BIN + " " + viaLibrary +
                                " " + inputs + " > " + dir.file("log") + " 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(dir.file("log"));
    const std::string log = readFile(dir.file("log"));
    EXPECT_NE(log.find("Input Images: 3"), std::string::npos) << log;
    EXPECT_NE(log.find(viaLibrary + " written"), std::string::npos) << log;

    const std::string viaProgram = dir.file("program.tif");
    CommandResult result = runQuovix({"-v", "-o", viaProgram, crop + "crusader1.tif", crop + "crusader4.tif",
                                      crop + "crusader6.tif"},
                                     "", {"TMPDIR=" + dir.path()});
    ASSERT_EQ(result.exitCode, 0) << result.output;
    EXPECT_EQ(sha256OfFile(viaLibrary), sha256OfFile(viaProgram));

    // A failure comes back as a value: the example reports it and ends with 1.
    const std::string failing = std::string("TMPDIR=") + dir.path() + " " + QUOVIX_EXAMPLE_BIN + " " +
                                dir.file("x.tif") + " " + dir.file("missing.tif") + " " + crop + "crusader1.tif " +
                                crop + "crusader4.tif > " +
                                dir.file("log2") + " 2>&1";
    const int failed = std::system(failing.c_str());
    EXPECT_TRUE(WIFEXITED(failed) && WEXITSTATUS(failed) == 1);
    EXPECT_NE(readFile(dir.file("log2")).find("fusion failed (1): Error: Cannot open file: " + dir.file("missing.tif")),
              std::string::npos)
        << readFile(dir.file("log2"));
}

} // namespace
