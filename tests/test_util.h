// Helpers shared by the unit tests.
#pragma once

#include "analysis/fusion_run.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace quovix;

// A fresh private folder for one test; removed with its content on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
private:
    std::string path_;
};

struct CommandResult {
    int exitCode = -1;   // as the shell sees it (0..255), -1 when killed
    std::string output;  // standard output and standard error together (runQuovixApart: standard output)
    std::string errors;  // runQuovixApart: standard error
};

// Runs the quovix binary with the arguments (no shell), in `workDir` when given,
// with extra "NAME=value" environment entries.
CommandResult runQuovix(const std::vector<std::string>& args, const std::string& workDir = "",
                        const std::vector<std::string>& env = {});

// As runQuovix, calling `watch` with the child's pid and the output so far
// after every piece of output; when it returns false the pipe is closed
// unread (the child's later writes fail) and the child is waited for.
CommandResult runQuovixWatched(const std::vector<std::string>& args, const std::string& workDir,
                               const std::vector<std::string>& env,
                               const std::function<bool(pid_t pid, const std::string& output)>& watch);

// As runQuovix, with standard output and standard error kept apart.
CommandResult runQuovixApart(const std::vector<std::string>& args, const std::string& workDir = "",
                             const std::vector<std::string>& env = {});

// The banner the program prints first: its name, version and the platform it
// was built for.
std::string programBanner();

// Path of the source tree (for examples/ and test data).
std::string sourceDir();

// Everything printed on standard output (including by child processes the
// code starts) while `body` runs.
std::string captureOutput(const std::function<void()>& body);

// True when an executable of that name is found on PATH.
bool programOnPath(const std::string& program);
// Its path on PATH, or empty.
std::string findOnPath(const std::string& program);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Options for an in-process run: console lines on standard output (so
// captureOutput and CaptureStdout see them), the given temporary folder, one
// worker.
Options testOptions(const std::string& tempFolder);

// One fusion run for in-process tests, with a private temporary folder.
class TestRun {
public:
    explicit TestRun(int workers = 1);
    explicit TestRun(Options options);
    TestRun(const TestRun&) = delete;
    TestRun& operator=(const TestRun&) = delete;
    FusionRun& operator*() { return *run_; }
    FusionRun* operator->() { return &*run_; }
    const TempDir& dir() const { return dir_; }
    // A fresh run with default settings in the same temporary folder, at the
    // same address (references to it stay valid).
    void reset(int workers = 1);
    void reset(Options options);

private:
    TempDir dir_;
    std::optional<FusionRun> run_;
};

// A test with its own run: default settings, zeroed trace counters, a private
// temporary folder. `run` and `settings` are the run's.
class FreshSettingsTest : public ::testing::Test {
protected:
    TestRun testRun_;
    FusionRun& run = *testRun_;
    RunSettings& settings = run.settings;
};
