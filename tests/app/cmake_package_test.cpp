// CMake users build against an installed Quovix with find_package(quovix).
#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace {

std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Runs a shell command with its output in `log`; the exit status.
int runLogged(const std::string& command, const std::string& log)
{
    const int status = std::system((command + " > " + quoted(log) + " 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(CMakePackage, ExampleBuildsWithFindPackageAgainstAnInstalledPrefix)
{
    if (QUOVIX_SANITIZED)
        GTEST_SKIP() << "the archive of a sanitizer build needs the sanitizer runtimes";
    if (!programOnPath("c++"))
        GTEST_SKIP() << "no C++ compiler";
    TempDir dir;
    const std::string prefix = dir.file("prefix");
    const std::string log = dir.file("log");
    const std::string cmake = quoted(QUOVIX_CMAKE);
    ASSERT_EQ(runLogged(cmake + " --install " + quoted(QUOVIX_BUILD_DIR) + " --prefix " + quoted(prefix), log), 0)
        << readFile(log);
    ASSERT_TRUE(fileExists(prefix + "/" QUOVIX_INSTALL_LIBDIR "/cmake/quovix/quovixConfig.cmake")) << readFile(log);

    const std::string build = dir.file("build");
    ASSERT_EQ(runLogged(cmake + " -S " + quoted(sourceDir() + "/examples/library") + " -B " + quoted(build) +
                            " -DCMAKE_PREFIX_PATH=" + quoted(prefix) + " -DCMAKE_BUILD_TYPE=Release",
                        log),
              0)
        << readFile(log);
    ASSERT_EQ(runLogged(cmake + " --build " + quoted(build), log), 0) << readFile(log);

    // Linked and running: wrong use gets the example's usage line.
    EXPECT_EQ(runLogged(quoted(build + "/fuse_three"), log), 2);
    EXPECT_NE(readFile(log).find("usage:"), std::string::npos) << readFile(log);
}

} // namespace
