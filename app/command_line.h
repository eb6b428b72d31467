// Command-line options into gSettings and gImages, with everything settled that
// depends on the inputs: canvas, preview scale, bracketing copies, output name,
// output depth and level count.
#pragma once

#include <string>

// Stores the run-time defaults that a parse starts from (weights, modes,
// curve, levels adjustment, converter path).
void initSettingsDefaults();
void parseCommandLine(int argc, char** argv);
void printUsage();
void printVersion();
float parseDecimal(const char* text);
void makeOutputName(const std::string& firstPath, const std::string& lastPath);
void resolveLevels();
