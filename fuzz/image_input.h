// The path every TIFF or JPEG input takes through the program: classified,
// read in its stored layout, placed on a canvas, and shrunk for a preview
// through the cache.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quovix::fuzz {

// `fileName` decides how the program treats the file (".tif", ".jpg"); the
// content decides the reader.
void fuzzImageInput(const uint8_t* data, size_t size, const char* fileName);

} // namespace quovix::fuzz
