// Entry of a run: banner, validation of the settings and the settings report.
#pragma once

#include "support/settings.h"

int runMain(int argc, char** argv);
void printBanner();
void validateSettings();
int normalizeWeights(IterationParams& iteration1, IterationParams& iteration2);
void printSettingsReport();
