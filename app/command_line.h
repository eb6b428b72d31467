// The command line: arguments into the library's options and input names.
#pragma once

#include "quovix/quovix.h"

#include <string>
#include <vector>

// What the walk over the arguments produced.
struct CommandLine {
    quovix::Options options;
    std::vector<std::string> inputs;
    bool infoGiven = false;   // --info: describe a RAW file and stop
    std::string infoFile;
};

// Walks the arguments. Returns true when the run goes on; false when the walk
// itself ended it (usage, version, a missing value), with `exitCode` set.
bool parseCommandLine(int argc, char** argv, CommandLine& commandLine, int& exitCode);

// The run-time defaults a walk starts from.
void initSettingsDefaults(quovix::Options& options);

float parseDecimal(const char* text);

void printUsage(const quovix::Options& options);
void printVersion();

// The whole program: banner, command line, fusion, final error line, exit code.
int runMain(int argc, char** argv);
