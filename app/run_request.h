// Checks of what the command line asks, made before any work: the output's
// format from its extension, the output depth, sidecar files among the
// inputs, a single input.
#pragma once

#include "app/command_line.h"

#include <string>

// Settles the request: may rename a preview output to .jpg and drop sidecar
// inputs. Warnings are appended to `warnings` (one line each); false with
// `error` set when the run must not start.
bool settleRequest(CommandLine& commandLine, std::string& warnings, std::string& error);

// The last extension of a file name, in lower case, without the dot; empty
// when the name has none.
std::string lowerExtension(const std::string& path);

// True for the sidecar files photo tools write beside an image (.xmp, .pp3,
// .thm, .dop, .aae), whatever the case of the extension.
bool isSidecarName(const std::string& path);
