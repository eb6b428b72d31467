// The command line: arguments into the library's options and input names.
#pragma once

#include "app/option_table.h"
#include "quovix/quovix.h"

#include <string>
#include <vector>

// Batch mode: many groups of inputs fused by one command.
struct BatchRequest {
    std::string folder;            // --batch: where the groups' outputs go; empty: not a batch
    std::string groupText = "auto";
    bool dryRun = false;
    int32_t jobs = 0;              // groups at once; 0: from the cores and the memory
    bool resume = false;
    std::string planFile;          // --plan: write the groups' commands here

    bool wanted() const { return !folder.empty() || dryRun || !planFile.empty(); }
};

// What the walk over the arguments produced.
struct CommandLine {
    quovix::Options options;
    std::vector<std::string> inputs;
    bool infoGiven = false;   // --info: describe a RAW file and stop
    std::string infoFile;
    bool quiet = false;       // -q: warnings and errors only
    bool showBanner = true;   // false for runs that print one line (--version)
    std::string bitsGiven;    // the -a value as given, for its warning
    BatchRequest batch;
    // The options as typed, batch options and unknown ones left out: what a
    // group's own command repeats.
    std::vector<std::string> passOn;
};

// Walks the arguments. Returns true when the run goes on; false when the walk
// itself ended it (usage, version, a missing value), with `exitCode` set.
// The walk's console text goes to standard output; warnings about unknown
// options to standard error.
bool parseCommandLine(int argc, char** argv, CommandLine& commandLine, int& exitCode);

// The same walk with its console text appended to `printed` instead.
bool parseCommandLine(int argc, char** argv, CommandLine& commandLine, int& exitCode, std::string& printed);

// The run-time defaults a walk starts from.
void initSettingsDefaults(quovix::Options& options);

// The nearest option to a mistyped one, or empty when none is close.
std::string nearestOption(const std::string& typed);

// Usage (the classic text, then every further option) with the current
// settings as defaults; the version, licence and credits text.
std::string usageText(const quovix::Options& options);
std::string versionText();
void printUsage(const quovix::Options& options);
void printVersion();

// The whole program: banner, command line, fusion, final error line, exit code.
int runMain(int argc, char** argv);
