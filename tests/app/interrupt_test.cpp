// Runs stopped part-way: through the library's cancel flag at every console
// message of a run, and through signals sent to the program. Whatever the
// moment, nothing the run made may stay behind (its scratch folder, temporary
// files beside the output) and a previous output stays as it was.
#include "image_fixture.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A colourful gradient; `gain` darkens or brightens it, so the three inputs
// form an exposure bracket whose similar frames fuse in two iterations.
FixtureImage bracketFrame(int width, int height, double gain)
{
    FixtureImage image = makeFixture(width, height, 3, 16);
    for (int r = 0; r < height; ++r) {
        for (int c = 0; c < width; ++c) {
            for (int s = 0; s < 3; ++s) {
                const double v = (1000.0 + 60.0 * c + 90.0 * r + 7000.0 * s + ((r * 31 + c * 17) % 97) * 40.0) * gain;
                image.at(r, c, s) = static_cast<uint16_t>(v > 65535.0 ? 65535.0 : v);
            }
        }
    }
    return image;
}

// Every name under `folder`, relative to it, folders included.
std::set<std::string> listTree(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        names.insert(fs::relative(it->path(), folder).string());
    return names;
}

class InterruptTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(outDir());
        fs::create_directories(tempDir());
    }

    // Three frames of the given size; the output folder starts with an old
    // output beside them.
    void makeInputs(int width, int height)
    {
        const double gains[] = {0.25, 0.3, 1.0};
        for (int i = 0; i < 3; ++i) {
            inputs.push_back(outDir() + "/in" + std::to_string(i) + ".tif");
            ASSERT_TRUE(writeFixtureTiff(inputs.back(), bracketFrame(width, height, gains[i])));
        }
        writeFile(output(), "previous output");
        before = listTree(outDir());
    }

    std::string outDir() const { return dir.file("out"); }
    std::string tempDir() const { return dir.file("tmp"); }
    std::string output() const { return outDir() + "/result.tif"; }
    std::string privateFolder() const { return tempDir() + "/quovix-" + std::to_string(getuid()); }

    // The run folders left in the private folder (preview caches may stay).
    std::vector<std::string> runFolders() const
    {
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(privateFolder(), ec)) {
            if (entry.path().filename().string().rfind("run-", 0) == 0)
                found.push_back(entry.path().string());
        }
        return found;
    }

    // Nothing of an interrupted run is left: the output folder as before,
    // the old output unchanged, no run folder.
    void expectNothingLeft(const std::string& when)
    {
        EXPECT_EQ(listTree(outDir()), before) << when;
        EXPECT_EQ(readFile(output()), "previous output") << when;
        EXPECT_TRUE(runFolders().empty()) << when << ": " << runFolders().front();
    }

    CommandResult signalledRun(int signalNumber, const std::string& marker)
    {
        std::vector<std::string> args{"-o", output()};
        args.insert(args.end(), inputs.begin(), inputs.end());
        bool sent = false;
        return runQuovixWatched(args, outDir(), {"TMPDIR=" + tempDir()}, [&](pid_t pid, const std::string& text) {
            if (!sent && text.find(marker) != std::string::npos) {
                kill(pid, signalNumber);
                sent = true;
            }
            return true;
        });
    }

    TempDir dir;
    std::vector<std::string> inputs;
    std::set<std::string> before;
};

TEST_F(InterruptTest, CancelAtAnyMessageLeavesNothingBehind)
{
    makeInputs(96, 64);
    // One whole run counts the messages and gives the finished output.
    int messageCount = 0;
    std::string finished;
    {
        Options options = testOptions(tempDir());
        options.onMessage = [&](MessageKind, std::string_view) { ++messageCount; };
        const FuseResult result = fuse(options, inputs, outDir() + "/whole.tif");
        ASSERT_TRUE(result.ok()) << result.error;
        finished = readFile(outDir() + "/whole.tif");
        fs::remove(outDir() + "/whole.tif");
    }
    ASSERT_GT(messageCount, 10);

    // Then the flag is raised at each message in turn, with one and with two
    // workers (the pool skips jobs not yet started).
    for (int workers : {1, 2}) {
        int completed = 0;
        for (int stopAt = 0; stopAt < messageCount; ++stopAt) {
            const std::string when = std::to_string(workers) + " workers, stop at message " + std::to_string(stopAt);
            std::atomic<bool> cancel{false};
            int seen = 0;
            Options options = testOptions(tempDir());
            options.workerCount = workers;
            options.cancel = &cancel;
            options.onMessage = [&](MessageKind, std::string_view) {
                if (seen++ == stopAt)
                    cancel.store(true);
            };
            const FuseResult result = fuse(options, inputs, output());
            if (result.ok()) {
                // Only a request after the output was committed may be too late.
                EXPECT_EQ(readFile(output()), finished) << when;
                writeFile(output(), "previous output");
                ++completed;
                continue;
            }
            EXPECT_EQ(completed, 0) << when << ": interrupted after an earlier request came too late";
            EXPECT_EQ(result.exitCode, kExitInterrupted) << when << ": " << result.error;
            // A line of its own, after a line of progress dots too.
            EXPECT_TRUE(result.error == "Interrupted\n" || result.error == "\nInterrupted\n") << when << result.error;
            expectNothingLeft(when);
        }
        // Every message up to the last is printed before the output is committed.
        EXPECT_LE(completed, 1) << workers << " workers";
    }
}

TEST_F(InterruptTest, CancelBeforeTheRunStartsReturnsAtOnce)
{
    makeInputs(32, 24);
    std::atomic<bool> cancel{true};
    Options options = testOptions(tempDir());
    options.cancel = &cancel;
    std::string text;
    options.onMessage = [&](MessageKind, std::string_view piece) { text += piece; };
    const FuseResult result = fuse(options, inputs, output());
    EXPECT_EQ(result.exitCode, kExitInterrupted);
    EXPECT_EQ(result.errorKind, ErrorKind::Interrupted);
    EXPECT_EQ(text.find("Analyzing"), std::string::npos) << text;
    expectNothingLeft("cancelled before the start");
}

TEST_F(InterruptTest, SignalsEndTheProgramWithTheirStatusAndCleanUp)
{
    makeInputs(800, 600);
    // Each signal at another moment: while the inputs are analysed, while the
    // levels are combined, and while the result is written.
    const struct {
        int number;
        const char* marker;
    } cases[] = {{SIGINT, "Analyzing"}, {SIGTERM, "Collapsing"}, {SIGHUP, "Writing"}, {SIGINT, "Iteration 2"}};
    for (const auto& c : cases) {
        const std::string when = std::string(strsignal(c.number)) + " at \"" + c.marker + "\"";
        const CommandResult r = signalledRun(c.number, c.marker);
        if (r.exitCode == 0) {
            // The signal came after the output was committed: a whole new file.
            EXPECT_NE(std::string(c.marker), "Analyzing") << when << " was not noticed";
            EXPECT_EQ(readFixtureTiff(output()).width, 800) << when;
            writeFile(output(), "previous output");
            EXPECT_TRUE(runFolders().empty()) << when;
            continue;
        }
        EXPECT_EQ(r.exitCode, 128 + c.number) << when << "\n" << r.output;
        // One whole line says so, and it is the last one.
        const std::string tail = "\nInterrupted\n";
        ASSERT_GE(r.output.size(), tail.size()) << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << when << "\n" << r.output;
        expectNothingLeft(when);
    }
}

TEST_F(InterruptTest, RunFoldersOfDeadProcessesAreRemovedByTheNextRun)
{
    makeInputs(600, 400);
    std::vector<std::string> args{"-o", output()};
    args.insert(args.end(), inputs.begin(), inputs.end());
    bool killed = false;
    const CommandResult r =
        runQuovixWatched(args, outDir(), {"TMPDIR=" + tempDir()}, [&](pid_t pid, const std::string& text) {
            if (!killed && text.find("Collapsing") != std::string::npos) {
                kill(pid, SIGKILL);
                killed = true;
            }
            return true;
        });
    ASSERT_TRUE(killed) << r.output;
    ASSERT_EQ(r.exitCode, -1) << r.output;
    std::vector<std::string> abandoned = runFolders();
    std::erase_if(abandoned, [](const std::string& path) { return !fs::is_directory(path); });
    ASSERT_EQ(abandoned.size(), 1u);

    // Folders the next run must leave alone: one kept by -d (no owner), one
    // whose owner is alive (this test), ones whose owner records are not ours
    // to judge (another host; another PID namespace on this host, as the
    // containers of one pod sharing a temporary folder).
    const std::string kept = privateFolder() + "/run-kept";
    const std::string alive = privateFolder() + "/run-alive";
    const std::string foreign = privateFolder() + "/run-foreign";
    const std::string container = privateFolder() + "/run-container";
    for (const std::string& folder : {kept, alive, foreign, container}) {
        fs::create_directories(folder);
        writeFile(folder + "/file.tif", "scratch");
    }
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    writeFile(alive + ".owner", std::to_string(getpid()) + " " + host + "\n");
    // The dead process's pid, on another host.
    const std::string deadRecord = readFile(abandoned[0] + ".owner");
    ASSERT_FALSE(deadRecord.empty());
    writeFile(foreign + ".owner", deadRecord.substr(0, deadRecord.find(' ')) + " elsewhere.invalid\n");
    ASSERT_EQ(std::count(deadRecord.begin(), deadRecord.end(), ' '), 2) << deadRecord;
    writeFile(container + ".owner", deadRecord.substr(0, deadRecord.rfind(' ')) + " pid:[1]\n");

    fs::remove(output());
    const CommandResult next = runQuovix(args, outDir(), {"TMPDIR=" + tempDir()});
    ASSERT_EQ(next.exitCode, 0) << next.output;
    EXPECT_FALSE(fs::exists(abandoned[0])) << "the killed run's folder is still there";
    EXPECT_FALSE(fs::exists(abandoned[0] + ".owner"));
    for (const std::string& folder : {kept, alive, foreign, container})
        EXPECT_TRUE(fileExists(folder + "/file.tif")) << folder;
}

// A run killed while it writes leaves its temporary output beside the old
// one; the next run into the folder removes it (only because its process is
// gone) and says so in one line.
TEST_F(InterruptTest, TemporariesOfAKilledRunAreRemovedByTheNextRun)
{
    makeInputs(1200, 800);
    std::vector<std::string> args{"-o", output()};
    args.insert(args.end(), inputs.begin(), inputs.end());
    bool killed = false;
    const CommandResult r =
        runQuovixWatched(args, outDir(), {"TMPDIR=" + tempDir()}, [&](pid_t pid, const std::string& text) {
            if (!killed && text.find("Writing") != std::string::npos) {
                usleep(30000);  // into the write of the temporary file
                kill(pid, SIGKILL);
                killed = true;
            }
            return true;
        });
    ASSERT_TRUE(killed) << r.output;
    ASSERT_EQ(r.exitCode, -1) << r.output;
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(outDir())) {
        if (entry.path().filename().string().find(".part-") != std::string::npos)
            left.push_back(entry.path().string());
    }
    ASSERT_EQ(left.size(), 1u) << "the killed run left no temporary output";
    EXPECT_EQ(readFile(output()), "previous output");

    const CommandResult next = runQuovix(args, outDir(), {"TMPDIR=" + tempDir()});
    ASSERT_EQ(next.exitCode, 0) << next.output;
    EXPECT_FALSE(fs::exists(left[0])) << "the killed run's temporary is still there";
    EXPECT_NE(next.output.find("Removed 1 temporary file left in " + outDir() + " by a run that was killed\n"),
              std::string::npos)
        << next.output;
    before.erase(output());
    std::set<std::string> after = listTree(outDir());
    after.erase(output());
    EXPECT_EQ(after, before);
}

TEST_F(InterruptTest, ClosedConsoleDoesNotStopTheRun)
{
    // As with `quovix ... | head -1`: the reader goes away after the first
    // piece of output; the run still completes and cleans up.
    makeInputs(200, 150);
    std::vector<std::string> args{"-o", output()};
    args.insert(args.end(), inputs.begin(), inputs.end());
    const CommandResult r =
        runQuovixWatched(args, outDir(), {"TMPDIR=" + tempDir()}, [](pid_t, const std::string&) { return false; });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readFixtureTiff(output()).width, 200);
    EXPECT_TRUE(runFolders().empty());
}

} // namespace
