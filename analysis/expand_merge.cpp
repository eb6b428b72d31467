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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

inline int16_t clampSample(int32_t v)
{
    return static_cast<int16_t>(std::clamp(v, -32767, 32767));
}

inline int16_t mergedAlpha(int16_t a, int16_t b)
{
    return (a != 0 && b != 0) ? kAlphaPresent : 0;
}

inline WorkPixel addPixels(WorkPixel p, WorkPixel q)
{
    return WorkPixel{clampSample(int32_t{p.c0} + q.c0), clampSample(int32_t{p.c1} + q.c1),
                     clampSample(int32_t{p.c2} + q.c2), mergedAlpha(p.alpha, q.alpha)};
}

inline WorkPixel subtractPixels(WorkPixel p, WorkPixel q)
{
    return WorkPixel{clampSample(int32_t{p.c0} - q.c0), clampSample(int32_t{p.c1} - q.c1),
                     clampSample(int32_t{p.c2} - q.c2), mergedAlpha(p.alpha, q.alpha)};
}

#if defined(__SSE2__)
// Two pixels at a time. Saturating 16-bit arithmetic gives the exact sum
// clamped to -32768..32767; the max then lifts -32768 to -32767. The alpha
// lanes are rebuilt from the two presence tests.
template <bool Subtracting>
int mergeVector(const WorkPixel* a, const WorkPixel* b, WorkPixel* out, int count)
{
    const __m128i alphaLanes = _mm_set_epi16(-1, 0, 0, 0, -1, 0, 0, 0);
    const __m128i floor = _mm_set1_epi16(-32767);
    const __m128i present = _mm_set1_epi16(kAlphaPresent);
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 2 <= count; i += 2) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i q = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        __m128i sum = Subtracting ? _mm_subs_epi16(p, q) : _mm_adds_epi16(p, q);
        sum = _mm_max_epi16(sum, floor);
        // Lanes that are 0 in either pixel; only the alpha lanes are kept.
        const __m128i absent = _mm_or_si128(_mm_cmpeq_epi16(p, zero), _mm_cmpeq_epi16(q, zero));
        const __m128i alpha = _mm_andnot_si128(absent, _mm_and_si128(alphaLanes, present));
        sum = _mm_or_si128(_mm_andnot_si128(alphaLanes, sum), alpha);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), sum);
    }
    return i;
}
#endif

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
    case Add: {
        int i = 0;
#if defined(__SSE2__)
        i = mergeVector<false>(a, b, out, count);
#endif
        for (; i < count; ++i)
            out[i] = addPixels(a[i], b[i]);
        break;
    }
    case Subtract: {
        int i = 0;
#if defined(__SSE2__)
        i = mergeVector<true>(a, b, out, count);
#endif
        for (; i < count; ++i)
            out[i] = subtractPixels(a[i], b[i]);
        break;
    }
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
