// Image records shared by every image-handling stage: regions on the canvas,
// the image list, the stored pixel layouts and the working pixel.
#pragma once

#include <cstdint>
#include <string>

// Placement of an image on the common canvas, in pixels.
struct ImageRegion {
    int32_t x = 0;
    int32_t y = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// The region bounding all inputs (scaled in preview runs); every analysed image
// is placed on it and every full-canvas TIFF carries its offset.
extern ImageRegion gCanvas;

// Working pixel of analysis and fusion: colour samples on a 14-bit scale (an
// 8-bit value v is held as v * 64), alpha 0x4000 for a present pixel, 0 for an
// absent one. Under YCrCb processing c0, c1, c2 hold Cr + 8192, Y, Cb + 8192.
struct WorkPixel {
    int16_t c0;
    int16_t c1;
    int16_t c2;
    int16_t alpha;
};
static_assert(sizeof(WorkPixel) == 8, "WorkPixel is four 16-bit samples");

constexpr int16_t kAlphaPresent = 0x4000;

// Stored layouts are named by bytes per pixel: 1 grey8, 2 grey16, 3 RGB8,
// 4 RGBA8, 6 RGB16, 8 RGBA16 (also WorkPixel buffers).

enum ImageType : int32_t {
    TypeNA = 0,
    TypeInput = 1,
    TypeFocusBlended = 2,
    TypeExposureAdjusted = 3,
    TypeConvertedFromRaw = 4,
    TypePreviewCache = 5,
};

enum ScaleKind : int32_t {
    ScaleUnknown = 0,
    ScaleFull = 1,
    ScaleScaled = 2,
};

extern const char kImageTypeLabels[6][32];
extern const char kScaleLabels[3][32];

// Inputs and intermediate images as parallel arrays; every array and every path
// buffer comes from tracked memory.
struct ImageList {
    char** paths = nullptr;
    double* exposure = nullptr;
    uint32_t* group = nullptr;
    int32_t* type = nullptr;
    int32_t* scale = nullptr;
    int32_t last = -1;       // index of the last used entry; count = last + 1
    int32_t capacity = 0;

    int32_t count() const { return last + 1; }
};

// The list of inputs filled by the command line.
extern ImageList gImages;

ImageList createImageList(int32_t capacity);
// Appends a new entry (path, type, scale; exposure 0, group 0). A full list ends
// the run with "Error: Dest file index error\n" (exit code 1).
void appendImage(ImageList& list, const std::string& path, int32_t type, int32_t scale);
void appendImageCopy(ImageList& dest, const ImageList& source, int32_t index);
void printImageList(const ImageList& list, int verbosity);
void releaseImageList(ImageList& list);

// Removes the "l", "e", "c", "s" scratch files of every entry for every level.
void removeLevelScratch(const ImageList& list, int levels);
