// JPEG input and output through libjpeg.
#pragma once

#include <string>

int readJpegHeader(const std::string& path, int& width, int& height, int& components, int& bits);
// Decodes into a caller buffer of width * height * 3 bytes. 0 or -1.
int readJpeg(const std::string& path, void* buffer);
// Encodes packed RGB into `path` at the run's JPEG quality. 0 or -1.
int writeJpeg(const std::string& path, const void* buffer, int width, int height);
// Re-encodes the finished output TIFF as JPEG under the same name.
// Returns 0, or -1 when the encode failed (the TIFF is then left in place).
int exportOutputAsJpeg();
