// The two fusion iterations: groups of similar exposures, then the final fusion.
#pragma once

#include "imageio/image_types.h"

int runFusion();
int groupSimilarExposures(ImageList& list);
int nextBrighter(const ImageList& list, int k);
bool exposuresSimilar(double a, double b);
