// Per-image analysis: each image of a list becomes its Laplacian level files
// and weight maps in the scratch folder, and its exposure measure.
#pragma once

#include "analysis/fusion_run.h"
#include "analysis/work_pixel.h"

#include <cstdint>

namespace quovix {

// With `focusMaps`, each image's focus measure (analysis/focus_measure.h) and
// its RGB samples are written too, as the level-0 "f" and "v" scratch files.
Status analyseImages(FusionRun& run, ImageList& list, int levels, bool focusMaps = false);

// Converts `count` pixels of a stored layout into WorkPixels, in place.
Status widenToWork(void* buffer, int64_t count, int bytesPerPixel);

// The same with the pixels spread over the pool's workers.
Status widenToWork(WorkerPool& pool, void* buffer, int64_t count, int bytesPerPixel);

// Smallest level whose smaller side is at most 50, or levels - 1.
int analysisLevel(int width, int height, int levels);

// Whether analysis writes contrast weight files: only when scratch files are
// kept or traced. Otherwise the combination computes the contrast weights
// from the Laplacian rows, of which they are a pure function.
bool writesContrastFiles(const RunSettings& settings);

// Removes the level files of every entry for every level (as
// LevelStore::remove, for a context without a fusion run).
void removeLevelScratch(RunContext& run, const ImageList& list, int levels);

} // namespace quovix
