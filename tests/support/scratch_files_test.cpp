#include "support/scratch_files.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

class ScratchFilesTest : public ::testing::Test {
protected:
    std::string runFolder()
    {
        EXPECT_TRUE(folders.ensureRunFolder().ok());
        return folders.runFolder();
    }
    std::string scratchName(const std::string& source, const std::string& tag, int number)
    {
        EXPECT_TRUE(folders.ensureRunFolder().ok());
        return folders.scratchName(source, tag, number);
    }
    std::string cacheName(const std::string& source, float scale, float stops)
    {
        EXPECT_TRUE(folders.ensureCacheFolder().ok());
        return folders.cacheName(source, scale, stops);
    }
    TempDir dir;
    std::string privateFolder = dir.path() + "/quovix-" + std::to_string(getuid());
    Console console;
    ScratchFolders folders{console, dir.path()};
};

std::string leaf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(PathChecksum, CountsBytesAndSignedByteSum)
{
    EXPECT_EQ(pathChecksum("C:\\img\\IMG_1.tif"), 16 + 1360);
    EXPECT_EQ(pathChecksum("fcsblend"), 841);
    EXPECT_EQ(pathChecksum(""), 0);
    // Bytes above 127 count negative: "\xC3\xA9" is -61 + -87, plus 2 bytes.
    EXPECT_EQ(pathChecksum("\xC3\xA9"), 2 - 61 - 87);
    EXPECT_EQ(baseName("C:\\img\\IMG_1.tif"), "IMG_1.tif");
    EXPECT_EQ(baseName("/a/b\\c.tif"), "c.tif");
    // A '/' after the last '\\' still separates folders: the name never holds one.
    EXPECT_EQ(baseName("/a\\b/c.tif"), "c.tif");
    EXPECT_EQ(baseName("/data/x/IMG_2.tif"), "IMG_2.tif");
    EXPECT_EQ(baseName("plain"), "plain");
}

TEST_F(ScratchFilesTest, NamesFollowTheNamingRules)
{
    const std::string src = "C:\\img\\IMG_1.tif";
    const std::string scratch = scratchName(src, "l", 3);
    EXPECT_EQ(leaf(scratch), "IMG_103_l_1376.tif");
    EXPECT_EQ(scratch, runFolder() + "/IMG_103_l_1376.tif");
    EXPECT_EQ(cacheName(src, 0.25f, 0.0f), privateFolder + "/IMG_1_tif_1376_2500_0_cache.tif");
    EXPECT_EQ(leaf(cacheName(src, 0.5f, -1.5f)), "IMG_1_tif_1376_5000_-15000_cache.tif");
    // float products truncate toward zero: 0.3f * 10000 = 2999.99...
    EXPECT_EQ(leaf(cacheName(src, 0.3f, 0.33f)), "IMG_1_tif_1376_3000_3300_cache.tif");

    EXPECT_EQ(leaf(scratchName(src, "exp", -5)), "IMG_1-05_exp_1376.tif");
    EXPECT_EQ(leaf(scratchName(src, "c", 12)), "IMG_112_c_1376.tif");
    EXPECT_EQ(leaf(scratchName(src, "e", 123)), "IMG_1123_e_1376.tif");
    EXPECT_EQ(leaf(scratchName("fcsblend", "t", 1)), "fcsblend01_t_841.tif");
    EXPECT_EQ(leaf(scratchName("fcsblend", "t", 2)), "fcsblend02_t_841.tif");
    // Only the last '.' is cut or replaced; no extension keeps the whole name.
    EXPECT_EQ(leaf(scratchName("/d/a.b.tif", "s", 0)), "a.b00_s_" + std::to_string(pathChecksum("/d/a.b.tif")) + ".tif");
    EXPECT_EQ(leaf(scratchName("/d/noext", "l", 1)), "noext01_l_" + std::to_string(pathChecksum("/d/noext")) + ".tif");
    EXPECT_EQ(leaf(cacheName("/d/noext", 1.0f, 0.0f)), "noext_" + std::to_string(pathChecksum("/d/noext")) + "_10000_0_cache.tif");
    // Same base name in two folders: different checksums, different files.
    EXPECT_NE(scratchName("/a/IMG_1.tif", "l", 0), scratchName("/bb/IMG_1.tif", "l", 0));
    // Same base name and an equal checksum ("d1" and "1d"): the first path
    // keeps the plain name, the second is told apart, each keeps its own.
    const int32_t swapped = pathChecksum("/d1/x.tif");
    ASSERT_EQ(swapped, pathChecksum("/1d/x.tif"));
    const std::string plain = "x00_l_" + std::to_string(swapped) + ".tif";
    EXPECT_EQ(leaf(scratchName("/d1/x.tif", "l", 0)), plain);
    EXPECT_EQ(leaf(scratchName("/1d/x.tif", "l", 0)), "x00_l_" + std::to_string(swapped) + "-1.tif");
    EXPECT_EQ(leaf(scratchName("/d1/x.tif", "l", 0)), plain);
    EXPECT_EQ(leaf(cacheName("/d1/x.tif", 0.5f, 0.0f)), "x_tif_" + std::to_string(swapped) + "_5000_0_cache.tif");
    EXPECT_EQ(leaf(cacheName("/1d/x.tif", 0.5f, 0.0f)), "x_tif_" + std::to_string(swapped) + "-1_5000_0_cache.tif");
    // Long names are never cut.
    std::string longBase(400, 'x');
    EXPECT_NE(scratchName("/d/" + longBase + ".tif", "l", 0).find(longBase + "00_l_"), std::string::npos);
}

TEST_F(ScratchFilesTest, FoldersArePrivateAndRunsAreSeparate)
{
    const std::string run = runFolder();
    struct stat st{};
    ASSERT_EQ(lstat(privateFolder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(run.rfind(privateFolder + "/run-", 0), 0u) << run;
    ASSERT_EQ(lstat(run.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(folders.isInTempFolder(run + "/x.tif"));
    EXPECT_TRUE(folders.isInTempFolder(cacheName("/a/b.tif", 0.5f, 0.0f)));
    EXPECT_FALSE(folders.isInTempFolder(dir.path() + "/b.tif"));

    // A second run over the same inputs gets its own folder.
    ScratchFolders other(console, dir.path());
    ASSERT_TRUE(other.ensureRunFolder().ok());
    EXPECT_NE(other.runFolder(), run);
    EXPECT_NE(other.scratchName("fcsblend", "t", 1), run + "/fcsblend01_t_841.tif");
    // Trailing slashes of the root make no other folder.
    ScratchFolders slashed(console, dir.path() + "///");
    ASSERT_TRUE(slashed.ensureCacheFolder().ok());
    EXPECT_EQ(slashed.cacheFolder(), privateFolder);
}

TEST_F(ScratchFilesTest, UnsafeTemporaryFolderEndsTheRunNamingFolderAndReason)
{
    auto refusal = [&] {
        ScratchFolders fresh(console, dir.path());
        Status status = fresh.ensureRunFolder();
        EXPECT_EQ(status.exitCode(), kExitFatal);
        EXPECT_TRUE(fresh.runFolder().empty());
        return status.consoleText();
    };
    ASSERT_EQ(mkdir(privateFolder.c_str(), 0755), 0);
    EXPECT_EQ(refusal(), "Fatal Error: Temporary folder unsafe: " + privateFolder + " (open to other users)\n");
    ASSERT_EQ(rmdir(privateFolder.c_str()), 0);

    // A planted link to another folder is refused, not followed.
    std::string elsewhere = dir.file("elsewhere");
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    ASSERT_EQ(symlink(elsewhere.c_str(), privateFolder.c_str()), 0);
    EXPECT_EQ(refusal(), "Fatal Error: Temporary folder unsafe: " + privateFolder + " (a symbolic link)\n");
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    ASSERT_EQ(unlink(privateFolder.c_str()), 0);

    writeFile(privateFolder, "a plain file");
    EXPECT_EQ(refusal(), "Fatal Error: Temporary folder unsafe: " + privateFolder + " (not a folder)\n");
}

TEST_F(ScratchFilesTest, RunFolderIsRemovedUnlessFilesAreKept)
{
    std::string run = runFolder();
    EXPECT_EQ(folders.finish(true), "");  // empty: removed even when keeping
    EXPECT_FALSE(fileExists(run));

    {
        ScratchFolders kept(console, dir.path());
        ASSERT_TRUE(kept.ensureRunFolder().ok());
        run = kept.runFolder();
        writeFile(kept.scratchName("fcsblend", "t", 1), "kept");
        EXPECT_EQ(kept.finish(true), run);
    }
    EXPECT_TRUE(fileExists(run + "/fcsblend01_t_841.tif"));

    {
        ScratchFolders dropped(console, dir.path());
        ASSERT_TRUE(dropped.ensureRunFolder().ok());
        run = dropped.runFolder();
        writeFile(dropped.scratchName("x", "l", 0), "leftover");
        EXPECT_EQ(dropped.finish(false), "");
        EXPECT_FALSE(fileExists(run));
    }
    {
        // A run that ends early, without finishing: its folder goes with it.
        ScratchFolders abandoned(console, dir.path());
        ASSERT_TRUE(abandoned.ensureRunFolder().ok());
        run = abandoned.runFolder();
        writeFile(abandoned.scratchName("x", "l", 0), "leftover");
    }
    EXPECT_FALSE(fileExists(run));
    EXPECT_TRUE(fileExists(privateFolder)) << "the cache folder stays";
}

} // namespace
