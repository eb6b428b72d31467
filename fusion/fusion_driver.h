// The two fusion iterations: groups of similar exposures, then the final fusion.
#pragma once

#include "analysis/fusion_run.h"

namespace quovix {

Status runFusion(FusionRun& run);
int groupSimilarExposures(FusionRun& run, ImageList& list);
int nextBrighter(const ImageList& list, int k);
bool exposuresSimilar(float threshold, double a, double b);

} // namespace quovix
