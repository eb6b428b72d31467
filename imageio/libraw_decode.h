// Camera RAW files decoded in-process by LibRaw: no helper program and no
// intermediate file.
#pragma once

#include "imageio/image_list.h"
#include "imageio/raw_options.h"
#include "support/console.h"
#include "support/status.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quovix {

// The size of the decoded image (after the camera's rotation); an empty text,
// or LibRaw's reason for not reading the file.
std::string libRawOutputSize(const std::string& path, ImageRegion& region);

// Prints the file's camera, date, exposure and sizes; 0, or -1 after one line
// naming the file and the reason when LibRaw cannot read it.
int printLibRawDescription(Console& console, const std::string& path);

// What one decode makes.
struct LibRawRequest {
    LibRawOptions options;
    float brightness = 1.0f;  // scales the white point before the output curve clips
    int workers = 1;          // threads LibRaw's parallel stages may use
    ImageRegion expected;     // the size the file was classified at
};

// Decodes `path` into `pixels`: packed RGB rows of 8 or 16-bit samples (host
// order) as the options ask, expected.width x expected.height. A monochrome
// sensor's grey is copied to the three channels. `profile`, when given,
// receives the ICC profile of the output colour space. Fails naming the file
// when LibRaw cannot decode it or decodes it at another size.
Status decodeWithLibRaw(const std::string& path, const LibRawRequest& request, uint8_t* pixels,
                        std::vector<unsigned char>* profile);

} // namespace quovix
