// The expand-and-merge fan-out: destination rows are split into contiguous
// bands, one std::thread per band, each with its own row buffer. Workers read
// the coarse level and write disjoint rows, so no locks are needed.
#include "analysis/pyramid.h"

#include "support/console.h"
#include "support/memory.h"
#include "support/settings.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

namespace {

inline int16_t clampSample(int32_t v)
{
    return static_cast<int16_t>(std::clamp(v, -32767, 32767));
}

inline int16_t mergedAlpha(int16_t a, int16_t b)
{
    return (a != 0 && b != 0) ? kAlphaPresent : 0;
}

} // namespace

int splitRows(int height, int workers, int firstRow[8], int lastRow[8])
{
    int count = std::clamp(workers, 1, 8);
    int rowsPerWorker;
    // Small levels are not worth the thread starts.
    if (height > 4 * count) {
        rowsPerWorker = height / count;
    } else {
        count = 1;
        rowsPerWorker = height;
    }
    for (int i = 0; i < count; ++i) {
        firstRow[i] = i * rowsPerWorker;
        lastRow[i] = firstRow[i] + rowsPerWorker - 1;
    }
    lastRow[count - 1] = height - 1;  // the last band takes the remainder
    return count;
}

void mergeRow(const WorkPixel* a, const WorkPixel* b, WorkPixel* out, int count, int mergeType)
{
    // out may be the same row as a (the workers merge in place): each pixel is
    // read whole before it is written.
    switch (mergeType) {
    case Add:
        for (int i = 0; i < count; ++i) {
            const WorkPixel p = a[i];
            const WorkPixel q = b[i];
            out[i] = WorkPixel{clampSample(int32_t{p.c0} + q.c0), clampSample(int32_t{p.c1} + q.c1),
                               clampSample(int32_t{p.c2} + q.c2), mergedAlpha(p.alpha, q.alpha)};
        }
        break;
    case Subtract:
        for (int i = 0; i < count; ++i) {
            const WorkPixel p = a[i];
            const WorkPixel q = b[i];
            out[i] = WorkPixel{clampSample(int32_t{p.c0} - q.c0), clampSample(int32_t{p.c1} - q.c1),
                               clampSample(int32_t{p.c2} - q.c2), mergedAlpha(p.alpha, q.alpha)};
        }
        break;
    case Copy:
        for (int i = 0; i < count; ++i)
            out[i] = b[i];
        break;
    default:
        fatalError("unknown combine mode specified", kExitFatal);
    }
}

void expandWorker(ExpandJob* job)
{
    const int width = std::max(job->width, 0);
    WorkPixel* row = static_cast<WorkPixel*>(trackedAlloc(static_cast<size_t>(width) * sizeof(WorkPixel)));
    for (int r = job->firstRow; r <= job->lastRow; ++r) {
        std::memset(row, 0, static_cast<size_t>(width) * sizeof(WorkPixel));
        expandRow(job->source, width, job->height, r, row);
        WorkPixel* dest = job->destination + static_cast<size_t>(r) * width;
        mergeRow(dest, row, dest, width, job->mergeType);
    }
    trackedFree(row);
}

void expandAndMerge(const WorkPixel* source, int width, int height, WorkPixel* destination, int mergeType)
{
    int firstRow[8];
    int lastRow[8];
    const int workers = splitRows(height, gSettings.workerCount, firstRow, lastRow);

    ExpandJob jobs[8];
    std::thread threads[8];
    for (int i = 0; i < workers; ++i) {
        jobs[i] = ExpandJob{source, width, height, firstRow[i], lastRow[i], destination, mergeType};
        try {
            threads[i] = std::thread(expandWorker, &jobs[i]);
        } catch (const std::system_error& e) {
            std::printf("Could not create thread...error: %d", e.code().value());
            endProcess(kExitIoError);
        }
    }
    for (int i = 0; i < workers; ++i)
        threads[i].join();
}
