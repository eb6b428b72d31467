// JPEG input and output through libjpeg.
#pragma once

#include "imageio/image_list.h"
#include "support/console.h"

#include <cstdio>
#include <string>
#include <vector>

namespace quovix {

// Size and component count from the header. Failures return "Error reading
// input JPEG file\n" (exit code -1); memory exhausted inside the decoder,
// the out-of-memory status.
Status readJpegHeader(Console& console, const std::string& path, int& width, int& height, int& components,
                      bool* arithmetic = nullptr);

// Decodes into a buffer of width * height * 3 bytes for the image `expected`
// describes. Failures return "Error reading input JPEG file data\n" (exit
// code -1), after a line naming the decoder's reason.
Status readJpeg(Console& console, const std::string& path, const ImageInfo& expected, void* buffer);

// Encodes packed RGB into an open stream at the quality, with the colour
// profile when one is given; false on failure (the stream stays open).
bool encodeJpeg(Console& console, FILE* file, const void* buffer, int width, int height, int quality,
                const std::vector<unsigned char>* iccProfile = nullptr);

} // namespace quovix
