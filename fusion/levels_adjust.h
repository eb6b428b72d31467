#pragma once

#include "imageio/image_types.h"

// Levels adjustment of the finished RGB image through a 65536-entry table.
void adjustLevels(WorkPixel* pixels, int width, int height);
