// Batch mode end to end: many brackets in one command give the bytes of one
// command per bracket, whatever the number of groups at once; resume, a
// broken group, the plan through GNU parallel and the Slurm wrapper.
#include "app/batch_run.h"

#include "image_fixture.h"
#include "test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const char* kCrops[] = {"crusader1.tif", "crusader2.tif", "crusader4.tif", "crusader5.tif", "crusader6.tif"};

class BatchRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fileExists(QUOVIX_BIN));
        // Six brackets of three frames, each a different choice of the crops.
        fs::create_directories(shots());
        for (int group = 0; group < 6; ++group) {
            for (int frame = 0; frame < 3; ++frame) {
                const std::string name = "b" + std::to_string(group + 1) + "_" + std::to_string(frame + 1) + ".tif";
                fs::copy_file(sourceDir() + "/tests/data/crusader_crop/" + kCrops[(group + frame) % 5],
                              shots() + "/" + name);
            }
        }
        // A sidecar: counted as a frame, it would shift every group.
        writeFile(shots() + "/b1_1.xmp", "<x:xmpmeta/>");
    }

    std::string shots() const { return dir_.file("shots"); }

    CommandResult batch(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-q", "--group", "3"});
        args.push_back(shots());
        return runQuovix(args, dir_.path());
    }

    // The outputs of a batch folder by name, with their bytes.
    static std::map<std::string, std::string> outputs(const std::string& folder)
    {
        std::map<std::string, std::string> found;
        std::error_code missing;
        for (const fs::directory_entry& e : fs::directory_iterator(folder, missing))
            found[e.path().filename().string()] = readFile(e.path().string());
        return found;
    }

    static std::string groupName(int group)
    {
        return "b" + std::to_string(group) + "_1-b" + std::to_string(group) +
               "_3_fused_l0_e100_c0_s0_br00_co00_sh00_hi00_fs01_fh01.tif";
    }

    TempDir dir_;
};

TEST_F(BatchRun, GroupsGiveTheBytesOfSingleCommandsForAnyJobCount)
{
    const CommandResult one = batch({"--batch", "one", "--jobs", "1"});
    ASSERT_EQ(one.exitCode, 0) << one.output;
    EXPECT_EQ(one.output, "");  // -q, and a folder's sidecars are left out without a word
    const auto serial = outputs(dir_.file("one"));
    ASSERT_EQ(serial.size(), 6u);
    for (int group = 1; group <= 6; ++group)
        EXPECT_EQ(serial.count(groupName(group)), 1u) << groupName(group);

    // The same bracket as a command of its own.
    for (int group : {1, 4}) {
        std::vector<std::string> args = {"-q", "-o", "single.tif"};
        for (int frame = 1; frame <= 3; ++frame)
            args.push_back(shots() + "/b" + std::to_string(group) + "_" + std::to_string(frame) + ".tif");
        ASSERT_EQ(runQuovix(args, dir_.path()).exitCode, 0);
        EXPECT_EQ(readFile(dir_.file("single.tif")), serial.at(groupName(group))) << group;
    }

    const CommandResult three = batch({"--batch", "three", "--jobs", "3", "-j", "2"});
    ASSERT_EQ(three.exitCode, 0) << three.output;
    EXPECT_EQ(outputs(dir_.file("three")), serial);
}

TEST_F(BatchRun, ResumeRedoesOnlyMissingOutputsAndABrokenGroupFailsAlone)
{
    ASSERT_EQ(batch({"--batch", "out"}).exitCode, 0);
    const std::string redo = dir_.file("out/" + groupName(2));
    const std::string kept = dir_.file("out/" + groupName(5));
    const std::string keptBytes = readFile(redo);
    fs::remove(redo);
    struct stat before{};
    ASSERT_EQ(stat(kept.c_str(), &before), 0);

    const CommandResult resumed = runQuovix({"--group", "3", "--batch", "out", "--resume", shots()}, dir_.path());
    ASSERT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_EQ(readFile(redo), keptBytes);
    struct stat after{};
    ASSERT_EQ(stat(kept.c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_NE(resumed.output.find("Batch: 1 fused, 5 skipped, 0 failed of 6 groups"), std::string::npos)
        << resumed.output;

    // A damaged frame costs its group only: the others are written, the
    // failure is named, the exit code says something failed.
    writeFile(shots() + "/b3_2.tif", "II*\0garbage");
    const CommandResult broken = batch({"--batch", "broken"});
    EXPECT_NE(broken.exitCode, 0);
    EXPECT_NE(broken.output.find(groupName(3) + ": failed"), std::string::npos) << broken.output;
    const auto written = outputs(dir_.file("broken"));
    EXPECT_EQ(written.size(), 5u);
    EXPECT_EQ(written.count(groupName(3)), 0u);
}

TEST_F(BatchRun, PlanRunsUnderGnuParallelAndTheSlurmWrapper)
{
    ASSERT_TRUE(programOnPath("parallel")) << "GNU parallel missing: run scripts/install-deps.sh";
    const CommandResult dry = batch({"--batch", "planned", "--dryRun"});
    ASSERT_EQ(dry.exitCode, 0) << dry.output;
    for (int group = 1; group <= 6; ++group)
        EXPECT_NE(dry.output.find("planned/" + groupName(group) + ": 3 frames, closed by "), std::string::npos)
            << dry.output;
    EXPECT_FALSE(fs::exists(dir_.file("planned")));  // a dry run writes nothing

    const CommandResult plan = batch({"--batch", "planned", "--plan", "jobs.txt"});
    ASSERT_EQ(plan.exitCode, 0) << plan.output;
    const std::string jobs = readFile(dir_.file("jobs.txt"));
    EXPECT_EQ(std::count(jobs.begin(), jobs.end(), '\n'), 6);
    EXPECT_EQ(jobs.find("--group"), std::string::npos) << jobs;  // batch options stay out of each command

    ASSERT_EQ(batch({"--batch", "direct"}).exitCode, 0);
    fs::create_directories(dir_.file("planned"));
    const std::string run = "cd '" + dir_.path() + "' && parallel --will-cite --jobs 2 < jobs.txt > parallel.log 2>&1";
    ASSERT_EQ(std::system(run.c_str()), 0) << readFile(dir_.file("parallel.log"));
    EXPECT_EQ(outputs(dir_.file("planned")), outputs(dir_.file("direct")));

    fs::remove_all(dir_.file("planned"));
    fs::create_directories(dir_.file("planned"));
    const std::string slurm = "cd '" + dir_.path() + "' && SLURM_ARRAY_TASK_ID=2 '" + sourceDir() +
                              "/scripts/slurm-array.sh' jobs.txt > slurm.log 2>&1";
    ASSERT_EQ(std::system(slurm.c_str()), 0) << readFile(dir_.file("slurm.log"));
    const auto one = outputs(dir_.file("planned"));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one.begin()->first, groupName(2));
    EXPECT_EQ(one.begin()->second, outputs(dir_.file("direct")).at(groupName(2)));
}

TEST_F(BatchRun, RequestsThatCannotWorkAreRefusedBeforeAnyWork)
{
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--batch", "x", "-o", "y.tif", shots()}, "-o cannot be used with --batch"},
        {{"--batch", "x", "--group", "time:", shots()}, "--group time:: use auto"},
        {{"--dryRun", shots()}, "go with --batch folder"},
        {{"--batch", "x", dir_.file("missing.tif")}, "Cannot open file: "},
        {{"--batch", "x", "--jobs", "-2", shots()}, "--jobs -2"},
        {{"--batch", "x", "--depthMap", "d.png", shots()}, "--depthMap cannot be used with --batch"},
    };
    for (const Case& c : cases) {
        const CommandResult r = runQuovix(c.args, dir_.path());
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
        EXPECT_FALSE(fs::exists(dir_.file("x"))) << c.message;
    }
}

// The README's batch commands, run as written (quovix and the scripts found
// as a user's shell finds them), on a card whose brackets are a minute apart.
TEST_F(BatchRun, ReadmeCommandsWorkAsWritten)
{
    ASSERT_TRUE(programOnPath("parallel")) << "GNU parallel missing: run scripts/install-deps.sh";
    const std::string readme = readFile(sourceDir() + "/README.md");
    const size_t begin = readme.find("<!-- batch-commands");
    const size_t end = readme.find("<!-- end of batch-commands -->");
    ASSERT_TRUE(begin != std::string::npos && end != std::string::npos && begin < end);
    std::vector<std::string> commands;
    std::istringstream lines(readme.substr(begin, end - begin));
    std::string line;
    std::getline(lines, line);  // the marker
    while (std::getline(lines, line)) {
        const size_t comment = line.find(" # ");
        line = line.substr(0, comment);
        line.erase(0, line.find_first_not_of(' '));
        if (!line.empty())
            commands.push_back(line);
    }
    ASSERT_GE(commands.size(), 5u);

    fs::rename(shots(), dir_.file("card"));
    for (const fs::directory_entry& e : fs::directory_iterator(dir_.file("card"))) {
        const std::string name = e.path().filename().string();
        const long group = std::stol(name.substr(1, 1)), frame = std::stol(name.substr(3, 1));
        const timespec at{1'700'000'000 + 60 * group + frame, 0};
        const timespec times[2] = {at, at};
        ASSERT_EQ(utimensat(AT_FDCWD, e.path().c_str(), times, 0), 0);
    }
    fs::create_directories(dir_.file("bin"));
    fs::create_symlink(QUOVIX_BIN, dir_.file("bin/quovix"));
    fs::create_symlink(sourceDir() + "/scripts", dir_.file("scripts"));
    const std::string path = dir_.file("bin") + ":" + std::getenv("PATH");
    std::map<std::string, std::string> fused;
    for (const std::string& command : commands) {
        const std::string shell = "cd '" + dir_.path() + "' && PATH='" + path + "' " + command + " > out.log 2>&1";
        ASSERT_EQ(std::system(shell.c_str()), 0) << command << "\n" << readFile(dir_.file("out.log"));
        const std::string printed = readFile(dir_.file("out.log"));
        if (command.find("--dryRun") != std::string::npos) {
            // The banner and a blank line, then one line per bracket.
            EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 6 + 2) << printed;
        }
        if (fused.empty() && fs::exists(dir_.file("fused")))
            fused = outputs(dir_.file("fused"));
        // Every later command rewrites or keeps the same bytes.
        if (!fused.empty()) {
            EXPECT_EQ(outputs(dir_.file("fused")), fused) << command;
        }
    }
    EXPECT_EQ(fused.size(), 6u);
}

TEST(BatchSignal, AnInterruptedBatchLeavesOnlyWholeOutputs)
{
    TempDir dir;
    fs::create_directories(dir.file("card"));
    fs::create_directories(dir.file("tmp"));
    for (int group = 1; group <= 4; ++group) {
        for (int frame = 0; frame < 3; ++frame) {
            FixtureImage image = makeFixture(900, 700, 3, 16);
            for (int r = 0; r < 700; ++r)
                for (int c = 0; c < 900; ++c)
                    for (int k = 0; k < 3; ++k)
                        image.at(r, c, k) = static_cast<uint16_t>(std::min(
                            65535, (2000 + 50 * c + 70 * r + 9000 * k + group * 300) * (frame + 1) / 2));
            ASSERT_TRUE(writeFixtureTiff(dir.file("card/g" + std::to_string(group) + "_" + std::to_string(frame) + ".tif"),
                                         image, false));
        }
    }
    bool sent = false;
    const CommandResult r = runQuovixWatched({"--group", "3", "--jobs", "2", "--batch", "out", "card"}, dir.path(),
                                             {"TMPDIR=" + dir.file("tmp")}, [&](pid_t pid, const std::string& out) {
                                                 if (!sent && out.find("2 at once") != std::string::npos) {
                                                     kill(pid, SIGINT);
                                                     sent = true;
                                                 }
                                                 return true;
                                             });
    ASSERT_TRUE(sent) << r.output;
    EXPECT_EQ(r.exitCode, 128 + SIGINT) << r.output;
    const std::string tail = "Interrupted\n";
    ASSERT_GE(r.output.size(), tail.size());
    EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail) << r.output;
    // Nothing half written or hidden in the batch folder, no scratch left.
    for (const fs::directory_entry& e : fs::directory_iterator(dir.file("out"))) {
        const std::string name = e.path().filename().string();
        EXPECT_NE(name[0], '.') << name;
        EXPECT_EQ(readFixtureTiff(e.path().string()).width, 900) << name;
    }
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir.file("tmp")))
        EXPECT_TRUE(e.is_directory()) << e.path();
}

TEST(BatchText, ShellQuotingSurvivesAnyName)
{
    EXPECT_EQ(shellQuoted("/shots/a_1.tif"), "/shots/a_1.tif");
    EXPECT_EQ(shellQuoted("it's here.tif"), "'it'\\''s here.tif'");
    EXPECT_EQ(shellQuoted(""), "''");
    EXPECT_EQ(shellQuoted("$HOME;rm"), "'$HOME;rm'");
}

} // namespace
