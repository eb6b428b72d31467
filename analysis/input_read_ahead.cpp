#include "analysis/input_read_ahead.h"

#include "analysis/analyse_images.h"
#include "imageio/input_prepare.h"

namespace quovix {

void InputReadAhead::finish()
{
    if (thread_.joinable())
        thread_.join();
}

void InputReadAhead::start(int index, const std::string& path, const ImageInfo& info, const ImageRegion& canvas,
                           size_t pixels)
{
    finish();
    index_ = -1;
    ok_ = false;
    widened_ = false;
    if (!buffer_.allocate(quiet_, pixels).ok())
        return;
    WorkPixel* destination = buffer_.get();
    try {
        thread_ = std::thread([this, path, info, canvas, destination, pixels] {
            try {
                ok_ = readOntoCanvasSilently(pool_, path, info, destination, canvas).ok();
                // Widened here too, off the analysis' path; a layout it
                // refuses is left for the analysis to report.
                widened_ = ok_ && widenToWork(pool_, destination, static_cast<int64_t>(pixels), info.bytesPerPixel).ok();
            } catch (...) {
                ok_ = false;
                widened_ = false;
            }
        });
    } catch (...) {
        // No thread (or no memory for its arguments): read in turn.
        buffer_.reset();
        return;
    }
    index_ = index;
}

bool InputReadAhead::take(int index, PageBuffer<WorkPixel>& buffer, bool& widened)
{
    finish();
    const bool taken = index == index_ && ok_;
    widened = taken && widened_;
    if (taken)
        buffer = std::move(buffer_);
    buffer_.reset();
    index_ = -1;
    ok_ = false;
    widened_ = false;
    return taken;
}

} // namespace quovix
