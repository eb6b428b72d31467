// Full-range BT.601 RGB <-> YCrCb on the 14-bit working scale. YCrCb pixels
// hold (Cr + 8192, Y, Cb + 8192), so c1 is always luma.
#pragma once

#include "imageio/image_types.h"

void rgbToYcc(WorkPixel* image, int width, int height);
void yccToRgb(WorkPixel* image, int width, int height);
