// Shared by the fuzz targets and their replay: a private folder for the
// process (the readers take paths, so each input is written to a file there),
// run options that keep every file inside it, and the outcome of the last
// input, which the replay compares with what a reproducer must give.
#pragma once

#include "quovix/quovix.h"
#include "support/status.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace quovix::fuzz {

// Largest image a target reads: bigger ones are classified only, so the
// fuzzer spends its time parsing rather than decoding and allocating.
constexpr int64_t kMaxReadPixels = int64_t{1} << 20;

// The process's private folder (made on first use, removed at exit), with
// "tmp" (the runs' temporary folder) and "in" (files a target lays out).
const std::string& privateFolder();
std::string privatePath(const std::string& name);

// Writes the input to a fresh file of that name in the private folder.
std::string writeInput(const std::string& name, const uint8_t* data, size_t size);

// Empties the runs' temporary folder (scratch and preview caches), so no
// input sees what an earlier one left.
void clearTemporaryFolder();

// One worker, the private temporary folder, no message callback.
Options runOptions();

// The outcome of the current input: one line per stage, "<stage>: ok" or
// "<stage>: <status text>".
void resetOutcome();
void noteOutcome(const char* stage, const Status& status);
void noteOutcome(const char* stage, const std::string& text);
const std::string& lastOutcome();

} // namespace quovix::fuzz
