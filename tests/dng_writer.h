// A small camera-RAW stand-in for tests: an uncompressed 16-bit Bayer (RGGB)
// DNG that the external converter decodes like a camera file.
#pragma once

#include <cstdint>
#include <string>

struct TestDngOptions {
    uint32_t width = 64;    // the converter rejects images under 22 pixels a side
    uint32_t height = 48;
    double exposure = 1.0;  // scales the scene, for bracketed sets
    uint16_t orientation = 1;  // TIFF Orientation: 6 is turned a quarter clockwise
    bool monochrome = false;   // a grey sensor (linear raw, one sample) instead of the Bayer mosaic
};

// Writes a scene of soft colour ramps (mid-tones at exposure 1) as a DNG;
// false when the file could not be written.
bool writeTestDng(const std::string& path, const TestDngOptions& options = {});
