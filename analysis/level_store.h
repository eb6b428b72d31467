// The per-level scratch files of the run's images: the one place that knows
// the tag each kind of file carries in its name.
#pragma once

#include "imageio/image_list.h"
#include "support/scratch_files.h"

#include <string>

namespace quovix {

// What a level file of an image holds.
enum class LevelKind {
    Laplacian,   // the Laplacian level
    Exposure,    // exposure weights
    Contrast,    // contrast weights (kept or masked runs)
    Saturation,  // saturation weights
    Gaussian,    // the Gaussian level as an 8-bit picture (debug runs)
    Focus,       // the focus measure (level 0 of a focus selection)
    Selection,   // selection weights (focus selection)
    Samples,     // the frame's own samples (level 0 of a focus selection)
};

class LevelStore {
public:
    explicit LevelStore(ScratchFolders& scratch) : scratch_(scratch) {}

    // The file of `kind` at `level` of the image at `imagePath`.
    std::string path(const std::string& imagePath, LevelKind kind, int level) const;

    // Removes the files of every kind but Gaussian of every entry of `list`
    // at every level below `levels`.
    void remove(const ImageList& list, int levels) const;

private:
    ScratchFolders& scratch_;
};

} // namespace quovix
