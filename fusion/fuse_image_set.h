// Fusion of one analysed image set into one output file.
#pragma once

#include "imageio/image_types.h"

#include <string>

int fuseImageSet(const ImageList& images, int levels, float contrastWeight, float exposureWeight,
                 float saturationWeight, int mode, const std::string& outputPath, int applyLevels);
