// The image list shared by every image-handling stage (the records of one
// image are in support/image_info.h).
#pragma once

#include "imageio/file_format.h"
#include "support/console.h"
#include "support/image_info.h"
#include "support/status.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quovix {

enum ImageType : int32_t {
    TypeNA = 0,
    TypeInput = 1,
    TypeFocusBlended = 2,
    TypeExposureAdjusted = 3,
    TypeConvertedFromRaw = 4,
    TypePreviewCache = 5,
    TypeAligned = 6,  // an input (or its bracketing copy) warped onto the reference frame
};

enum ScaleKind : int32_t {
    ScaleUnknown = 0,
    ScaleFull = 1,
    ScaleScaled = 2,
};

extern const char kImageTypeLabels[7][32];
extern const char kScaleLabels[3][32];

// One input or intermediate image of a run.
struct ImageEntry {
    std::string path;
    // The path the entry had before it was replaced by a run copy (an aligned
    // input); messages name it. Empty: the entry is its own file.
    std::string origin;
    int32_t type = TypeNA;
    int32_t scale = ScaleUnknown;
    double exposure = 0.0;
    uint32_t group = 0;
    // The input (index into the run's input names) the entry was made from,
    // and whether it is a bracketing copy of it rather than the shot itself.
    int32_t input = -1;
    bool bracketCopy = false;
    ImageInfo info;

    // The path messages name: the origin, else the file.
    const char* shown() const { return origin.empty() ? path.c_str() : origin.c_str(); }
};

// The inputs and intermediate images of a run in list order, at most
// `capacity` of them.
struct ImageList {
    std::vector<ImageEntry> entries;
    int32_t capacity = 0;

    int32_t count() const { return static_cast<int32_t>(entries.size()); }
    ImageEntry& operator[](int32_t i) { return entries[static_cast<size_t>(i)]; }
    const ImageEntry& operator[](int32_t i) const { return entries[static_cast<size_t>(i)]; }
    auto begin() { return entries.begin(); }
    auto end() { return entries.end(); }
    auto begin() const { return entries.begin(); }
    auto end() const { return entries.end(); }
};

// An empty list that holds up to `capacity` entries.
void createImageList(int32_t capacity, ImageList& list);
// Appends a new entry (path, type, scale; exposure 0, group 0, no input). A
// full list is "Error: Dest file index error\n" (exit code 1).
Status appendImage(ImageList& list, const std::string& path, int32_t type, int32_t scale,
                   const ImageInfo& info = ImageInfo());
Status appendImageCopy(ImageList& dest, const ImageList& source, int32_t index);
// Points entry `index` at a copy of its file; the first replaced path is kept
// as the entry's origin.
Status replaceImage(ImageList& list, int32_t index, const std::string& path, int32_t type, int32_t scale,
                    const ImageInfo& info);
// Takes entry `index` out of the list; the entries after it move up one.
void removeImage(ImageList& list, int32_t index);
// The list entry of every input that is the shot itself (no bracketing
// copy), in input order; -1 for an input without one.
std::vector<int32_t> inputEntries(const ImageList& list);
void printImageList(Console& console, const ImageList& list, int verbosity);

} // namespace quovix
