#include "imageio/image_list.h"

#include <algorithm>

namespace quovix {

const char kImageTypeLabels[7][32] = {
    "NA", "Input", "Focus blended", "Exposure adjusted", "Converted from Raw", "Preview Cache", "Aligned",
};
const char kScaleLabels[3][32] = {"Unknown", "Full", "Scaled"};

void createImageList(int32_t capacity, ImageList& list)
{
    list.entries.clear();
    list.capacity = std::max(capacity, 0);
    list.entries.reserve(static_cast<size_t>(list.capacity));
}

Status appendImage(ImageList& list, const std::string& path, int32_t type, int32_t scale, const ImageInfo& info)
{
    if (list.count() >= list.capacity)
        return fatalError("Error: Dest file index error\n");
    ImageEntry entry;
    entry.path = path;
    entry.type = type;
    entry.scale = scale;
    entry.info = info;
    list.entries.push_back(std::move(entry));
    return Status();
}

Status appendImageCopy(ImageList& dest, const ImageList& source, int32_t index)
{
    if (dest.count() >= dest.capacity)
        return fatalError("Error: Dest file index error\n");
    if (index < 0 || index >= source.count())
        return fatalError("Error: Source file index error\n");
    dest.entries.push_back(source[index]);
    return Status();
}

Status replaceImage(ImageList& list, int32_t index, const std::string& path, int32_t type, int32_t scale,
                    const ImageInfo& info)
{
    if (index < 0 || index >= list.count())
        return fatalError("Error: Source file index error\n");
    ImageEntry& entry = list[index];
    if (entry.origin.empty())
        entry.origin = entry.path;
    entry.path = path;
    entry.type = type;
    entry.scale = scale;
    entry.info = info;
    return Status();
}

void removeImage(ImageList& list, int32_t index)
{
    if (index < 0 || index >= list.count())
        return;
    list.entries.erase(list.entries.begin() + index);
}

std::vector<int32_t> inputEntries(const ImageList& list)
{
    std::vector<int32_t> found;
    for (int32_t e = 0; e < list.count(); ++e) {
        const ImageEntry& entry = list[e];
        if (entry.input < 0 || entry.bracketCopy)
            continue;
        const size_t input = static_cast<size_t>(entry.input);
        if (found.size() <= input)
            found.resize(input + 1, -1);
        found[input] = e;
    }
    return found;
}

void printImageList(Console& console, const ImageList& list, int verbosity)
{
    for (const ImageEntry& entry : list) {
        console.print("  %s", entry.shown());
        if (verbosity > 0)
            console.print(", exposure=%.2f", entry.exposure * 0.015625);
        if (verbosity > 1 && entry.group > 0)
            console.print(", group %d", static_cast<int>(entry.group));
        if (verbosity > 2) {
            const int32_t t = entry.type;
            const int32_t s = entry.scale;
            console.print(", type: %s, scale: %s", (t >= 0 && t < 7) ? kImageTypeLabels[t] : "NA",
                          (s >= 0 && s < 3) ? kScaleLabels[s] : "Unknown");
        }
        console.print("\n");
    }
}

} // namespace quovix
