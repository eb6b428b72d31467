// Checks of the settings (invalid values are reset with a message, never
// refused) and the settings report.
#pragma once

#include "analysis/fusion_run.h"

namespace quovix {

void validateSettings(RunContext& run);
// Rescales each iteration's weights to sum 1; returns how many were rescaled.
int normalizeWeights(IterationParams& iteration1, IterationParams& iteration2);
void printSettingsReport(FusionRun& run);

} // namespace quovix
