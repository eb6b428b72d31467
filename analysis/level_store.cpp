#include "analysis/level_store.h"

#include <cstdio>

namespace quovix {

namespace {

const char* tagOf(LevelKind kind)
{
    switch (kind) {
    case LevelKind::Laplacian: return "l";
    case LevelKind::Exposure: return "e";
    case LevelKind::Contrast: return "c";
    case LevelKind::Saturation: return "s";
    case LevelKind::Gaussian: return "g";
    case LevelKind::Focus: return "f";
    case LevelKind::Selection: return "w";
    case LevelKind::Samples: return "v";
    }
    return "?";
}

} // namespace

std::string LevelStore::path(const std::string& imagePath, LevelKind kind, int level) const
{
    return scratch_.scratchName(imagePath, tagOf(kind), level);
}

void LevelStore::remove(const ImageList& list, int levels) const
{
    static const LevelKind kinds[] = {LevelKind::Laplacian, LevelKind::Exposure, LevelKind::Contrast,
                                      LevelKind::Saturation, LevelKind::Focus, LevelKind::Selection,
                                      LevelKind::Samples};
    for (int level = 0; level < levels; ++level) {
        for (const ImageEntry& entry : list) {
            for (const LevelKind kind : kinds)
                std::remove(path(entry.path, kind, level).c_str());
        }
    }
}

} // namespace quovix
