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

// Inputs and intermediate images as parallel arrays; every array and every path
// buffer comes from tracked memory. `info` holds each entry's classification.
struct ImageList {
    ImageList() = default;
    ~ImageList();
    ImageList(const ImageList&) = delete;
    ImageList& operator=(const ImageList&) = delete;
    ImageList(ImageList&& other) noexcept;
    ImageList& operator=(ImageList&& other) noexcept;

    Console* console = nullptr;
    char** paths = nullptr;
    double* exposure = nullptr;
    uint32_t* group = nullptr;
    int32_t* type = nullptr;
    int32_t* scale = nullptr;
    int32_t last = -1;       // index of the last used entry; count = last + 1
    int32_t capacity = 0;
    std::vector<ImageInfo> info;
    // The path an entry had before it was replaced by a run copy (an aligned
    // input); messages name it. Empty: the entry is its own file.
    std::vector<std::string> origin;

    int32_t count() const { return last + 1; }
};

Status createImageList(Console& console, int32_t capacity, ImageList& list);
// Appends a new entry (path, type, scale; exposure 0, group 0). A full list is
// "Error: Dest file index error\n" (exit code 1).
Status appendImage(ImageList& list, const std::string& path, int32_t type, int32_t scale,
                   const ImageInfo& info = ImageInfo());
Status appendImageCopy(ImageList& dest, const ImageList& source, int32_t index);
// Points entry `index` at a copy of its file; the first replaced path is kept
// as the entry's origin.
Status replaceImage(ImageList& list, int32_t index, const std::string& path, int32_t type, int32_t scale,
                    const ImageInfo& info);
// Takes entry `index` out of the list; the entries after it move up one.
void removeImage(ImageList& list, int32_t index);
// The path messages name for an entry: its origin, else its file.
const char* shownPath(const ImageList& list, int32_t index);
void printImageList(Console& console, const ImageList& list, int verbosity);
void releaseImageList(ImageList& list);

} // namespace quovix
