// Splitting a card of shots into brackets and stacks: the capture facts of
// each file (time, exposure) and the rules that turn them into groups.
#pragma once

#include "quovix/quovix.h"

#include <cstddef>
#include <string>
#include <vector>

namespace quovix {

// What a file tells about its capture, from its EXIF (read with Exiv2) or,
// failing that, from the file itself.
struct CaptureFacts {
    bool hasExifTime = false;
    double exifTime = 0.0;       // seconds; EXIF DateTimeOriginal with its sub-seconds
    bool hasFileTime = false;
    double fileTime = 0.0;       // the file's modification time
    bool hasExposure = false;
    double exposure = 0.0;       // log2 of the light gathered: EXIF time x ISO / aperture^2, else mean brightness
    bool exposureMeasured = false;  // from the pixels, not from EXIF
    int32_t width = 0;           // 0 when unknown
    int32_t height = 0;
};

// The facts of one file; the brightness is measured (when EXIF has no
// exposure) only when `measure` is set.
CaptureFacts readCaptureFacts(const std::string& path, bool measure = true);

// A run of neighbouring files and why it ended.
struct GroupSpan {
    size_t first = 0;
    size_t count = 0;
    std::string closedBy;
};

// The groups of `facts` (files in the order given) under `params`. Pure: no
// file is read.
std::vector<GroupSpan> groupByFacts(const std::vector<CaptureFacts>& facts, const GroupingParams& params);

} // namespace quovix
