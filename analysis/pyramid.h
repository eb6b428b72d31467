// Pyramid reduce and expand with the 5x5 (1 5 8 5 1) kernel, and the worker
// fan-out that expands a coarse level row by row and merges it into the finer
// level (the program's only parallel operation).
#pragma once

#include "imageio/image_types.h"

enum MergeType : int {
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
    int mergeType;
};

// Low-pass filters a W x H level and halves it into dst ((W+1)/2 x (H+1)/2).
void reduceLevel(const WorkPixel* src, int width, int height, WorkPixel* dst);

// Row y of the coarse level expanded to the finer size W x H; `row` holds W
// zero-filled pixels on entry.
void expandRow(const WorkPixel* coarse, int width, int height, int y, WorkPixel* row);

// Merges `count` pixels of row b into row a, writing out (Add/Subtract clamp to
// -32767..32767; alpha present only where both are present; Copy takes b).
void mergeRow(const WorkPixel* a, const WorkPixel* b, WorkPixel* out, int count, int mergeType);

// Expands source to width x height and merges it into destination, with the
// rows split over gSettings.workerCount threads.
void expandAndMerge(const WorkPixel* source, int width, int height, WorkPixel* destination, int mergeType);

// Thread routine: one row buffer, then expandRow + mergeRow per row of the job.
void expandWorker(ExpandJob* job);

// Row split used by expandAndMerge: fills firstRow/lastRow for each worker and
// returns the number of workers used.
int splitRows(int height, int workers, int firstRow[8], int lastRow[8]);
