#include "imageio/image_list.h"

#include "support/memory.h"

#include <cstring>
#include <utility>

namespace quovix {

const char kImageTypeLabels[7][32] = {
    "NA", "Input", "Focus blended", "Exposure adjusted", "Converted from Raw", "Preview Cache", "Aligned",
};
const char kScaleLabels[3][32] = {"Unknown", "Full", "Scaled"};

namespace {

constexpr size_t kPathBytes = 260;

// Path buffers hold 260 bytes; a longer path gets a buffer of its own size
// instead of being cut.
Status storePath(ImageList& list, int32_t index, const char* path)
{
    size_t length = std::strlen(path);
    if (length >= kPathBytes) {
        void* longer = trackedAlloc(*list.console, length + 1);
        if (longer == nullptr)
            return outOfMemory();
        trackedFree(*list.console, list.paths[index]);
        list.paths[index] = static_cast<char*>(longer);
    }
    std::memcpy(list.paths[index], path, length + 1);
    return Status();
}

template <typename T>
Status allocateArray(Console& console, size_t count, T*& array)
{
    array = static_cast<T*>(trackedAlloc(console, count * sizeof(T)));
    if (array == nullptr)
        return outOfMemory();
    std::memset(array, 0, count * sizeof(T));
    return Status();
}

} // namespace

ImageList::~ImageList()
{
    releaseImageList(*this);
}

ImageList::ImageList(ImageList&& other) noexcept
{
    *this = std::move(other);
}

ImageList& ImageList::operator=(ImageList&& other) noexcept
{
    if (this != &other) {
        releaseImageList(*this);
        console = other.console;
        paths = std::exchange(other.paths, nullptr);
        exposure = std::exchange(other.exposure, nullptr);
        group = std::exchange(other.group, nullptr);
        type = std::exchange(other.type, nullptr);
        scale = std::exchange(other.scale, nullptr);
        last = std::exchange(other.last, -1);
        capacity = std::exchange(other.capacity, 0);
        info = std::move(other.info);
        origin = std::move(other.origin);
    }
    return *this;
}

Status createImageList(Console& console, int32_t capacity, ImageList& list)
{
    releaseImageList(list);
    list.console = &console;
    if (capacity < 0)
        capacity = 0;
    const size_t n = static_cast<size_t>(capacity);
    QVX_TRY(allocateArray(console, n, list.paths));
    list.capacity = capacity;
    for (size_t i = 0; i < n; ++i) {
        list.paths[i] = static_cast<char*>(trackedAlloc(console, kPathBytes));
        if (list.paths[i] == nullptr)
            return outOfMemory();
        list.paths[i][0] = '\0';
    }
    QVX_TRY(allocateArray(console, n, list.exposure));
    QVX_TRY(allocateArray(console, n, list.group));
    QVX_TRY(allocateArray(console, n, list.type));
    QVX_TRY(allocateArray(console, n, list.scale));
    list.last = -1;
    list.info.assign(n, ImageInfo());
    list.origin.assign(n, std::string());
    return Status();
}

Status appendImage(ImageList& list, const std::string& path, int32_t type, int32_t scale, const ImageInfo& info)
{
    if (list.last >= list.capacity - 1)
        return fatalError("Error: Dest file index error\n");
    int32_t i = list.last + 1;
    QVX_TRY(storePath(list, i, path.c_str()));
    list.last = i;
    list.exposure[i] = 0.0;
    list.group[i] = 0;
    list.type[i] = type;
    list.scale[i] = scale;
    list.info[static_cast<size_t>(i)] = info;
    list.origin[static_cast<size_t>(i)].clear();
    return Status();
}

Status appendImageCopy(ImageList& dest, const ImageList& source, int32_t index)
{
    if (dest.last >= dest.capacity - 1)
        return fatalError("Error: Dest file index error\n");
    if (index < 0 || index >= source.capacity)
        return fatalError("Error: Source file index error\n");
    int32_t i = dest.last + 1;
    QVX_TRY(storePath(dest, i, source.paths[index]));
    dest.last = i;
    dest.exposure[i] = source.exposure[index];
    dest.group[i] = source.group[index];
    dest.type[i] = source.type[index];
    dest.scale[i] = source.scale[index];
    dest.info[static_cast<size_t>(i)] = source.info[static_cast<size_t>(index)];
    dest.origin[static_cast<size_t>(i)] = source.origin[static_cast<size_t>(index)];
    return Status();
}

Status replaceImage(ImageList& list, int32_t index, const std::string& path, int32_t type, int32_t scale,
                    const ImageInfo& info)
{
    if (index < 0 || index > list.last)
        return fatalError("Error: Source file index error\n");
    std::string& origin = list.origin[static_cast<size_t>(index)];
    if (origin.empty())
        origin = list.paths[index];
    QVX_TRY(storePath(list, index, path.c_str()));
    list.type[index] = type;
    list.scale[index] = scale;
    list.info[static_cast<size_t>(index)] = info;
    return Status();
}

void removeImage(ImageList& list, int32_t index)
{
    if (index < 0 || index > list.last)
        return;
    // The path buffer moves to the end: every slot keeps one.
    char* buffer = list.paths[index];
    for (int32_t i = index; i < list.last; ++i) {
        list.paths[i] = list.paths[i + 1];
        list.exposure[i] = list.exposure[i + 1];
        list.group[i] = list.group[i + 1];
        list.type[i] = list.type[i + 1];
        list.scale[i] = list.scale[i + 1];
    }
    list.paths[list.last] = buffer;
    list.info.erase(list.info.begin() + index);
    list.info.emplace_back();
    list.origin.erase(list.origin.begin() + index);
    list.origin.emplace_back();
    --list.last;
}

const char* shownPath(const ImageList& list, int32_t index)
{
    const std::string& origin = list.origin[static_cast<size_t>(index)];
    return origin.empty() ? list.paths[index] : origin.c_str();
}

void printImageList(Console& console, const ImageList& list, int verbosity)
{
    for (int32_t i = 0; i <= list.last; ++i) {
        console.print("  %s", shownPath(list, i));
        if (verbosity > 0)
            console.print(", exposure=%.2f", list.exposure[i] * 0.015625);
        if (verbosity > 1 && list.group[i] > 0)
            console.print(", group %d", static_cast<int>(list.group[i]));
        if (verbosity > 2) {
            int32_t t = list.type[i];
            int32_t s = list.scale[i];
            console.print(", type: %s, scale: %s", (t >= 0 && t < 7) ? kImageTypeLabels[t] : "NA",
                          (s >= 0 && s < 3) ? kScaleLabels[s] : "Unknown");
        }
        console.print("\n");
    }
}

void releaseImageList(ImageList& list)
{
    if (list.console == nullptr)
        return;
    Console& console = *list.console;
    if (list.paths != nullptr) {
        for (int32_t i = 0; i < list.capacity; ++i)
            trackedFree(console, list.paths[i]);
    }
    trackedFree(console, list.paths);
    trackedFree(console, list.exposure);
    trackedFree(console, list.group);
    trackedFree(console, list.type);
    trackedFree(console, list.scale);
    list.paths = nullptr;
    list.exposure = nullptr;
    list.group = nullptr;
    list.type = nullptr;
    list.scale = nullptr;
    list.last = -1;
    list.capacity = 0;
    list.info.clear();
    list.origin.clear();
}

} // namespace quovix
