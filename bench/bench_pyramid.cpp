// Times the pyramid hot loops on a 24-megapixel synthetic image: reduceLevel
// on the calling thread and expandAndMerge with 1 and 2 workers.
#include "analysis/pyramid.h"
#include "support/console.h"
#include "support/memory.h"
#include "support/settings.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

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
    const size_t finePixels = static_cast<size_t>(kWidth) * kHeight;
    const size_t coarsePixels = static_cast<size_t>((kWidth + 1) / 2) * ((kHeight + 1) / 2);
    PageBuffer<WorkPixel> fine(finePixels);
    PageBuffer<WorkPixel> work(finePixels);
    PageBuffer<WorkPixel> coarse(coarsePixels);
    fillImage(fine.get());

    int64_t best = INT64_MAX;
    for (int i = 0; i < kRepeats; ++i) {
        const int64_t start = clockMs();
        reduceLevel(fine.get(), kWidth, kHeight, coarse.get());
        const int64_t elapsed = clockMs() - start;
        best = elapsed < best ? elapsed : best;
    }
    std::printf("reduceLevel %dx%d: %lld ms\n", kWidth, kHeight, static_cast<long long>(best));

    for (int workers : {1, 2}) {
        gSettings.workerCount = workers;
        best = INT64_MAX;
        for (int i = 0; i < kRepeats; ++i) {
            for (size_t p = 0; p < finePixels; ++p)
                work[p] = fine[p];
            const int64_t start = clockMs();
            expandAndMerge(coarse.get(), kWidth, kHeight, work.get(), Subtract);
            const int64_t elapsed = clockMs() - start;
            best = elapsed < best ? elapsed : best;
        }
        std::printf("expandAndMerge %dx%d, %d worker%s: %lld ms\n", kWidth, kHeight, workers,
                    workers == 1 ? "" : "s", static_cast<long long>(best));
    }
    return 0;
}
