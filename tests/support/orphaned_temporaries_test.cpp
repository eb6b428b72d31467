// Temporaries beside outputs carry their process and host, so that a run
// removes what a killed run left without touching anything of a live one.
#include "support/file_ops.h"
#include "support/process_owner.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

namespace {

// The number of a process that has ended (and been reaped).
long endedProcess()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return pid;
}

std::set<std::string> entries(const std::string& folder)
{
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.insert(e.path().filename().string());
    return names;
}

TEST(OrphanedTemporaries, OnlyThoseOfEndedProcessesOfThisHostGo)
{
    TempDir dir;
    const std::string dead = std::to_string(endedProcess());
    const std::string self = std::to_string(getpid());
    const std::string host = quovix::hostTag();
    const std::string otherHost = host == "00000000" ? "00000001" : "00000000";
    const std::set<std::string> orphans = {
        ".out.tif.part-" + dead + "-" + host + "0123abcd",
        ".quovix-meta-" + dead + "-" + host + "Ab12Cd",
    };
    const std::set<std::string> kept = {
        "out.tif",
        ".out.tif.part-" + self + "-" + host + "0123abcd",          // a live process (this one)
        ".out.tif.part-" + dead + "-" + otherHost + "0123abcd",     // another host or PID namespace
        ".out.tif.part-" + dead + "-0123abcd",                      // no owner tag
        ".out.tif.part-" + dead + "-" + host + "0123abcdz",         // not a name the program makes
        ".quovix-meta-" + dead + "-" + host + "Ab12C",
        ".quovix-meta-x" + dead + "-" + host + "Ab12Cd",
    };
    for (const std::string& name : orphans)
        writeFile(dir.file(name), "left behind");
    for (const std::string& name : kept)
        writeFile(dir.file(name), "in use");
    // A link or a folder under an orphan's name is not the program's file.
    const std::string link = ".link.tif.part-" + dead + "-" + host + "0123abcd";
    const std::string folder = ".folder.tif.part-" + dead + "-" + host + "0123abcd";
    ASSERT_EQ(symlink("out.tif", dir.file(link).c_str()), 0);
    ASSERT_EQ(mkdir(dir.file(folder).c_str(), 0700), 0);

    EXPECT_EQ(quovix::removeOrphanedTemporaries(dir.path()), 2);
    std::set<std::string> expected = kept;
    expected.insert(link);
    expected.insert(folder);
    EXPECT_EQ(entries(dir.path()), expected);
    EXPECT_EQ(readFile(dir.file("out.tif")), "in use");
}

TEST(OrphanedTemporaries, TemporariesOfThisRunCarryItsTagAndStay)
{
    TempDir dir;
    const std::string temp = quovix::reserveTempBeside(dir.file("result.tif"));
    ASSERT_FALSE(temp.empty());
    const std::string prefix = dir.file(".result.tif.part-" + quovix::temporaryOwnerTag());
    EXPECT_EQ(temp.compare(0, prefix.size(), prefix), 0) << temp;
    EXPECT_EQ(temp.size(), prefix.size() + 8) << temp;
    EXPECT_EQ(quovix::removeOrphanedTemporaries(dir.path()), 0);
    EXPECT_TRUE(fileExists(temp));
    EXPECT_FALSE(quovix::processGone(getpid()));
}

} // namespace
