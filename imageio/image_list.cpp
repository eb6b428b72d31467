#include "imageio/image_types.h"

#include "support/console.h"
#include "support/memory.h"
#include "support/scratch_files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

ImageRegion gCanvas;
ImageList gImages;

const char kImageTypeLabels[6][32] = {
    "NA", "Input", "Focus blended", "Exposure adjusted", "Converted from Raw", "Preview Cache",
};
const char kScaleLabels[3][32] = {"Unknown", "Full", "Scaled"};

namespace {

constexpr size_t kPathBytes = 260;

// Path buffers hold 260 bytes; a longer path gets a buffer of its own size
// instead of being cut.
void storePath(ImageList& list, int32_t index, const char* path)
{
    size_t length = std::strlen(path);
    if (length >= kPathBytes) {
        trackedFree(list.paths[index]);
        list.paths[index] = static_cast<char*>(trackedAlloc(length + 1));
    }
    std::memcpy(list.paths[index], path, length + 1);
}

} // namespace

ImageList createImageList(int32_t capacity)
{
    ImageList list;
    if (capacity < 0)
        capacity = 0;
    list.capacity = capacity;
    list.last = -1;
    size_t n = static_cast<size_t>(capacity);
    list.paths = static_cast<char**>(trackedAllocZero(n * sizeof(char*)));
    for (size_t i = 0; i < n; ++i) {
        list.paths[i] = static_cast<char*>(trackedAlloc(kPathBytes));
        list.paths[i][0] = '\0';
    }
    list.exposure = static_cast<double*>(trackedAllocZero(n * sizeof(double)));
    list.group = static_cast<uint32_t*>(trackedAllocZero(n * sizeof(uint32_t)));
    list.type = static_cast<int32_t*>(trackedAllocZero(n * sizeof(int32_t)));
    list.scale = static_cast<int32_t*>(trackedAllocZero(n * sizeof(int32_t)));
    return list;
}

void appendImage(ImageList& list, const std::string& path, int32_t type, int32_t scale)
{
    if (list.last >= list.capacity - 1)
        fatalError("Error: Dest file index error\n", kExitFatal);
    int32_t i = ++list.last;
    storePath(list, i, path.c_str());
    list.exposure[i] = 0.0;
    list.group[i] = 0;
    list.type[i] = type;
    list.scale[i] = scale;
}

void appendImageCopy(ImageList& dest, const ImageList& source, int32_t index)
{
    if (dest.last >= dest.capacity - 1)
        fatalError("Error: Dest file index error\n", kExitFatal);
    if (index < 0 || index >= source.capacity)
        fatalError("Error: Source file index error\n", kExitFatal);
    int32_t i = ++dest.last;
    storePath(dest, i, source.paths[index]);
    dest.exposure[i] = source.exposure[index];
    dest.group[i] = source.group[index];
    dest.type[i] = source.type[index];
    dest.scale[i] = source.scale[index];
}

void printImageList(const ImageList& list, int verbosity)
{
    for (int32_t i = 0; i <= list.last; ++i) {
        std::printf("  %s", list.paths[i]);
        if (verbosity > 0)
            std::printf(", exposure=%.2f", list.exposure[i] * 0.015625);
        if (verbosity > 1 && list.group[i] > 0)
            std::printf(", group %d", static_cast<int>(list.group[i]));
        if (verbosity > 2) {
            int32_t t = list.type[i];
            int32_t s = list.scale[i];
            std::printf(", type: %s, scale: %s", (t >= 0 && t < 6) ? kImageTypeLabels[t] : "NA",
                        (s >= 0 && s < 3) ? kScaleLabels[s] : "Unknown");
        }
        std::printf("\n");
    }
}

void releaseImageList(ImageList& list)
{
    if (list.paths != nullptr) {
        for (int32_t i = 0; i < list.capacity; ++i)
            trackedFree(list.paths[i]);
    }
    trackedFree(list.paths);
    trackedFree(list.exposure);
    trackedFree(list.group);
    trackedFree(list.type);
    trackedFree(list.scale);
    list = ImageList{};
}

void removeLevelScratch(const ImageList& list, int levels)
{
    static const char* const tags[] = {"l", "e", "c", "s"};
    for (int level = 0; level < levels; ++level) {
        for (int32_t i = 0; i <= list.last; ++i) {
            for (const char* tag : tags)
                std::remove(scratchName(list.paths[i], tag, level).c_str());
        }
    }
}
