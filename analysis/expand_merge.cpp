// The expand-and-merge fan-out: destination rows are split into contiguous
// bands, one job per band on the run's workers, each with its own row buffer.
// Workers read the coarse level and write disjoint rows, so no locks are needed.
#include "analysis/pyramid.h"

#include "support/memory.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quovix {

namespace {

// Fewer rows than this are not worth a job of their own.
constexpr int kMinBandRows = 8;

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

void mergeRow(const WorkPixel* a, const WorkPixel* b, WorkPixel* out, int count, MergeType mergeType)
{
    // out may be the same row as a (the workers merge in place): each pixel is
    // read whole before it is written.
    switch (mergeType) {
    case MergeType::Add: {
        int i = 0;
#if defined(__SSE2__)
        i = mergeVector<false>(a, b, out, count);
#endif
        for (; i < count; ++i)
            out[i] = addPixels(a[i], b[i]);
        break;
    }
    case MergeType::Subtract: {
        int i = 0;
#if defined(__SSE2__)
        i = mergeVector<true>(a, b, out, count);
#endif
        for (; i < count; ++i)
            out[i] = subtractPixels(a[i], b[i]);
        break;
    }
    case MergeType::Copy:
        for (int i = 0; i < count; ++i)
            out[i] = b[i];
        break;
    default:
        break;  // refused by expandAndMerge before any row is touched
    }
}

Status expandWorker(Console& console, const ExpandJob& job)
{
    const int width = std::max(job.width, 0);
    HeapBuffer<WorkPixel> row;
    QVX_TRY(row.allocate(console, static_cast<size_t>(width)));
    for (int r = job.firstRow; r <= job.lastRow; ++r) {
        std::memset(row.get(), 0, static_cast<size_t>(width) * sizeof(WorkPixel));
        expandRow(job.source, width, job.height, r, row.get(), job.wrap);
        WorkPixel* dest = job.destination + static_cast<size_t>(r) * width;
        mergeRow(dest, row.get(), dest, width, job.mergeType);
    }
    return Status();
}

Status reduceLevel(RunContext& run, const WorkPixel* src, int width, int height, WorkPixel* dst)
{
    const bool wrap = run.settings.wrapAround;
    return run.pool.forRowsBalanced((height + 1) >> 1, kMinBandRows, [&](int first, int end) {
        reduceLevel(src, width, height, dst, wrap, first, end - 1);
        return Status();
    });
}

Status expandAndMerge(RunContext& run, const WorkPixel* source, int width, int height, WorkPixel* destination,
                      MergeType mergeType)
{
    if (mergeType != MergeType::Add && mergeType != MergeType::Subtract && mergeType != MergeType::Copy)
        return fatalError("unknown combine mode specified");
    const bool wrap = run.settings.wrapAround;
    if (!run.console.tracing()) {
        return run.pool.forRowsBalanced(height, kMinBandRows, [&](int first, int end) {
            return expandWorker(run.console,
                                ExpandJob{source, width, height, first, end - 1, destination, mergeType, wrap});
        });
    }
    // A traced run shows one row buffer per worker.
    int firstRow[8];
    int lastRow[8];
    const int bands = WorkerPool::splitRows(height, run.pool.workers(), firstRow, lastRow);
    ExpandJob jobs[8];
    for (int i = 0; i < bands; ++i)
        jobs[i] = ExpandJob{source, width, height, firstRow[i], lastRow[i], destination, mergeType, wrap};
    return run.pool.run(bands, [&](int i) { return expandWorker(run.console, jobs[i]); });
}

} // namespace quovix
