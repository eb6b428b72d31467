#include "fusion/resolve_depths.h"

#include <algorithm>
#include <cstdint>

namespace quovix {

namespace {

// Halvings until the smaller side is 3 pixels or less: the deepest pyramid
// whose coarsest level still has a neighbourhood.
int32_t halvings(const ImageRegion& canvas)
{
    int32_t m = std::min(canvas.width, canvas.height);
    int32_t h = 0;
    while (m > 3) {
        m /= 2;
        ++h;
    }
    return h;
}

} // namespace

RunDepths resolveDepths(const Options& o, const ImageRegion& canvas, int maxBits, std::string& notice)
{
    RunDepths d;
    d.outputBits = o.outputBits < 8 ? maxBits : o.outputBits;
    if (o.scaled)
        d.outputBits = 8;

    const int32_t h = halvings(canvas);
    const int32_t requested = o.levelCount < 1 ? std::max(h, 1) : o.levelCount;
    // Summed wide: an offset near the int32 limits must not wrap around.
    const int32_t wanted =
        static_cast<int32_t>(std::clamp<int64_t>(int64_t{requested} + o.levelOffset, INT32_MIN, INT32_MAX));
    d.levelCount = std::clamp(wanted, 1, h + 1);
    notice.clear();
    if (wanted != d.levelCount)
        notice = "Cannot use " + std::to_string(wanted) + " levels...using " + std::to_string(d.levelCount) +
                 " levels instead\n";

    d.exposureBlendLevels = std::min(o.exposureBlendLevels, d.levelCount - 1);
    d.chromaLevels = std::min(o.noise.chromaLevels, d.levelCount);
    d.lumaLevels = std::min(o.noise.lumaLevels, d.levelCount);
    return d;
}

} // namespace quovix
