// Helpers shared by the unit tests.
#pragma once

#include "support/memory.h"
#include "support/settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

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
    std::string output;  // standard output and standard error together
};

// Runs the quovix binary with the arguments (no shell), in `workDir` when given,
// with extra "NAME=value" environment entries.
CommandResult runQuovix(const std::vector<std::string>& args, const std::string& workDir = "",
                        const std::vector<std::string>& env = {});

// Path of the source tree (for examples/ and test data).
std::string sourceDir();

// Everything printed on standard output (including by child processes the
// code starts) while `body` runs.
std::string captureOutput(const std::function<void()>& body);

// True when an executable of that name is found on PATH.
bool programOnPath(const std::string& program);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// A test that starts and ends with default settings and zeroed trace counters.
class FreshSettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        resetSettings();
        resetResourceCounters();
    }
    void TearDown() override
    {
        resetSettings();
        resetResourceCounters();
    }
};
