#include "support/progress.h"

namespace quovix {

void Progress::stage(const char* name)
{
    stage_ = name;
    report();
}

void Progress::advance(int64_t units)
{
    done_ += units;
    report();
}

void Progress::finish()
{
    stage_ = "done";
    reported_ = 1.0;
    if (callback_)
        callback_(stage_, 1.0);
}

void Progress::report()
{
    if (!callback_)
        return;
    // Estimates may be revised either way; the fraction never goes back, and
    // reaches 1 only when the run is complete.
    const double fraction = total_ > 0 ? static_cast<double>(done_) / static_cast<double>(total_) : 0.0;
    if (fraction > reported_)
        reported_ = fraction < 0.99 ? fraction : 0.99;
    callback_(stage_, reported_);
}

int64_t pyramidPixels(int width, int height, int levels)
{
    int64_t pixels = 0;
    for (int l = 0; l < levels; ++l) {
        pixels += static_cast<int64_t>(width) * height;
        width = (width + 1) / 2;
        height = (height + 1) / 2;
    }
    return pixels;
}

} // namespace quovix
