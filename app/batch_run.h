// Batch mode: the inputs (files, or folders of them) split into brackets and
// stacks, each fused into the batch folder as if it had been a command of its
// own; or the plan printed, or written as one command per group for job
// runners on other machines.
#pragma once

#include "app/command_line.h"

#include <atomic>
#include <string>
#include <vector>

// One group of a batch: its files, the rule that closed it, its output.
struct BatchGroup {
    quovix::ShotGroup shots;
    std::string output;
};

// Files, and the image and RAW files of folders in name order; sidecars,
// hidden files and other kinds of file in folders are left out. Warnings are
// appended as whole lines; false with `error` set when an input is missing
// or nothing is left.
bool expandBatchInputs(const std::vector<std::string>& inputs, std::vector<std::string>& files,
                       std::string& warnings, std::string& error);

// The groups of `files` with their output paths in `folder` (named as the
// automatic output name does; a name taken twice gets a number).
std::vector<BatchGroup> planBatch(const quovix::Options& options, const std::vector<std::string>& files,
                                  const quovix::GroupingParams& params, const std::string& folder);

// One line per group: output, frame count, closing rule, files.
std::string planText(const std::vector<BatchGroup>& groups);

// One shell command per group: `program`, the options passed on, -o, the files.
std::string planCommands(const std::vector<BatchGroup>& groups, const std::string& program,
                         const std::vector<std::string>& passOn);

// The text quoted for a POSIX shell, unchanged when it needs no quotes.
std::string shellQuoted(const std::string& text);

// The whole batch command; returns its exit code (kExitInterrupted when
// `cancel` stopped it).
int runBatch(CommandLine& commandLine, const std::string& program, const std::atomic<bool>* cancel);
