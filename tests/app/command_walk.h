// The option walk of the command line as the tests run it: the arguments
// after the program name, what the walk printed on each stream, and whether
// it lets the run go on.
#pragma once

#include "app/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct Walk {
    bool goesOn = false;
    int exitCode = -1;
    CommandLine commandLine;
    std::string printed;   // standard output
    std::string warnings;  // standard error
};

inline Walk walk(std::vector<std::string> args)
{
    args.insert(args.begin(), "quovix");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Walk w;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    w.goesOn = parseCommandLine(static_cast<int>(args.size()), argv.data(), w.commandLine, w.exitCode);
    w.warnings = testing::internal::GetCapturedStderr();
    w.printed = testing::internal::GetCapturedStdout();
    return w;
}
