// Pyramid reduce and expand with the 5x5 (1 5 8 5 1) kernel, and the fan-out
// that expands a coarse level row by row over the run's workers and merges it
// into the finer level.
#pragma once

#include "analysis/work_pixel.h"
#include "support/run_context.h"

namespace quovix {

enum class MergeType : int {
    Add = 0,
    Subtract = 1,
    Copy = 2,
};

struct ExpandJob {
    const WorkPixel* source;  // coarse level, ((width+1)/2) x ((height+1)/2)
    int width;                // destination size
    int height;
    int firstRow;             // inclusive range of destination rows
    int lastRow;
    WorkPixel* destination;
    MergeType mergeType;
    bool wrap;                // wrap around the left/right edge
};

// Low-pass filters a W x H level and halves it into dst ((W+1)/2 x (H+1)/2),
// rows [firstRow, lastRow] of dst (all rows by default).
void reduceLevel(const WorkPixel* src, int width, int height, WorkPixel* dst, bool wrap, int firstRow = 0,
                 int lastRow = -1);

// reduceLevel with the rows of dst in bands over the run's workers.
Status reduceLevel(RunContext& run, const WorkPixel* src, int width, int height, WorkPixel* dst);

// Row y of the coarse level expanded to the finer size W x H; `row` holds W
// zero-filled pixels on entry.
void expandRow(const WorkPixel* coarse, int width, int height, int y, WorkPixel* row, bool wrap);

// Merges `count` pixels of row b into row a, writing out (Add/Subtract clamp to
// -32767..32767; alpha present only where both are present; Copy takes b).
void mergeRow(const WorkPixel* a, const WorkPixel* b, WorkPixel* out, int count, MergeType mergeType);

// Expands source to width x height and merges it into destination, with the
// rows split in bands over the run's workers.
Status expandAndMerge(RunContext& run, const WorkPixel* source, int width, int height, WorkPixel* destination,
                      MergeType mergeType);

// One band: one row buffer, then expandRow + mergeRow per row of the job.
Status expandWorker(Console& console, const ExpandJob& job);

} // namespace quovix
