// Times the pyramid hot loops on a 24-megapixel synthetic image: reduceLevel
// on the calling thread, and reduceLevel and expandAndMerge banded over the
// workers of a run with 1 and 2 workers, as analysis and noise reduction call
// them. The banded reduction is checked against the single-thread one.
#include "analysis/fusion_run.h"
#include "analysis/pyramid.h"
#include "bench/bench_run.h"
#include "support/console.h"
#include "support/memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

using namespace quovix;

constexpr int kWidth = 6000;
constexpr int kHeight = 4000;
constexpr int kRepeats = 3;

void fillImage(WorkPixel* image)
{
    uint32_t state = 12345;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x) {
            state = state * 1664525u + 1013904223u;
            const int noise = static_cast<int>(state >> 24) - 128;
            const int base = (x * 11 + y * 7) % 16000;
            WorkPixel& p = image[static_cast<size_t>(y) * kWidth + x];
            p.c0 = static_cast<int16_t>(base + noise + 128);
            p.c1 = static_cast<int16_t>((base * 3 / 4) + noise + 128);
            p.c2 = static_cast<int16_t>((base / 2) + noise + 128);
            // A few absent pixels keep the alpha handling honest.
            p.alpha = (state & 0x3ff) == 0 ? 0 : kAlphaPresent;
        }
}

} // namespace

int main()
{
    BenchFolder folder;
    if (!folder.ok())
        return 1;
    // The buffers belong to a run of their own; the timed calls each get a
    // run with the worker count under test (it is fixed when a run is made).
    FusionRun owner(benchOptions(folder, 1));
    const size_t finePixels = static_cast<size_t>(kWidth) * kHeight;
    const size_t coarsePixels = static_cast<size_t>((kWidth + 1) / 2) * ((kHeight + 1) / 2);
    PageBuffer<WorkPixel> fine;
    PageBuffer<WorkPixel> work;
    PageBuffer<WorkPixel> coarse;
    PageBuffer<WorkPixel> banded;
    if (!fine.allocate(owner.console, finePixels).ok() || !work.allocate(owner.console, finePixels).ok() ||
        !coarse.allocate(owner.console, coarsePixels).ok() || !banded.allocate(owner.console, coarsePixels).ok())
        return 1;
    fillImage(fine.get());

    int64_t best = INT64_MAX;
    for (int i = 0; i < kRepeats; ++i) {
        const int64_t start = clockMs();
        reduceLevel(fine.get(), kWidth, kHeight, coarse.get(), false);
        const int64_t elapsed = clockMs() - start;
        best = elapsed < best ? elapsed : best;
    }
    std::printf("reduceLevel %dx%d: %lld ms\n", kWidth, kHeight, static_cast<long long>(best));

    for (int workers : {1, 2}) {
        FusionRun run(benchOptions(folder, workers));
        const char* plural = workers == 1 ? "" : "s";
        best = INT64_MAX;
        for (int i = 0; i < kRepeats; ++i) {
            const int64_t start = clockMs();
            const Status status = reduceLevel(run, fine.get(), kWidth, kHeight, banded.get());
            const int64_t elapsed = clockMs() - start;
            if (!status.ok()) {
                std::printf("%s\n", status.consoleText().c_str());
                return 1;
            }
            best = elapsed < best ? elapsed : best;
        }
        if (std::memcmp(banded.get(), coarse.get(), coarsePixels * sizeof(WorkPixel)) != 0) {
            std::printf("MISMATCH between banded and single-thread reduceLevel, %d worker%s\n", workers, plural);
            return 1;
        }
        std::printf("reduceLevel %dx%d, %d worker%s: %lld ms\n", kWidth, kHeight, workers, plural,
                    static_cast<long long>(best));

        best = INT64_MAX;
        for (int i = 0; i < kRepeats; ++i) {
            std::memcpy(work.get(), fine.get(), finePixels * sizeof(WorkPixel));
            const int64_t start = clockMs();
            const Status status = expandAndMerge(run, coarse.get(), kWidth, kHeight, work.get(), MergeType::Subtract);
            const int64_t elapsed = clockMs() - start;
            if (!status.ok()) {
                std::printf("%s\n", status.consoleText().c_str());
                return 1;
            }
            best = elapsed < best ? elapsed : best;
        }
        std::printf("expandAndMerge %dx%d, %d worker%s: %lld ms\n", kWidth, kHeight, workers, plural,
                    static_cast<long long>(best));
    }
    return 0;
}
