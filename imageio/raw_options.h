// The RAW converter arguments (--raw): dcraw-style options, read once for
// both engines.
#pragma once

#include "support/status.h"

#include <string>
#include <vector>

namespace quovix {

// The --raw text split on blanks; an empty text gives the defaults "-H 2 -w".
std::vector<std::string> converterArguments(const std::string& text);

// 16 when the arguments ask for 16-bit samples (-4 or -6), else 8. Option
// values (the number after -b, -g, ...) are never taken for options.
int rawOutputBits(const std::string& text);

// The conversion settings of the LibRaw engine, as the dcraw options set them.
struct LibRawOptions {
    bool cameraWhiteBalance = false;   // -w
    bool autoWhiteBalance = false;     // -a
    int highlightMode = 0;             // -H 0..9
    int outputBits = 8;                // -4, -6
    bool noAutoBrightness = false;     // -W, -4
    double gammaPower = 1.0 / 2.222;   // -g p s (stored as 1/p), -4 (1)
    double gammaSlope = 4.5;
    int quality = 3;                   // -q: interpolation
    float noiseThreshold = 0.0f;       // -n: wavelet denoising
};

// Reads the options LibRaw can follow: -w -a -H n -b f -4 -6 -W -g p s -q n
// -n t. Any other option, or a value that is missing or out of range, is
// refused naming it. -b is accepted for dcraw compatibility: as with dcraw, the
// brightness of each conversion is the one its exposure copy asks for.
Status parseLibRawOptions(const std::string& text, LibRawOptions& options);

} // namespace quovix
