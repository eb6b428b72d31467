// Reading the next input of the analysis on a thread of its own while the
// current one is analysed, so that a decoder that runs on one thread (JPEG)
// or waits for the disk no longer stops the run between inputs. One extra
// input buffer at most: a read is taken before the next one starts.
#pragma once

#include "analysis/work_pixel.h"
#include "imageio/image_list.h"
#include "support/memory.h"
#include "support/worker_pool.h"

#include <string>
#include <thread>

namespace quovix {

class InputReadAhead {
public:
    explicit InputReadAhead(WorkerPool& pool) : pool_(pool) {}
    ~InputReadAhead() { finish(); }
    InputReadAhead(const InputReadAhead&) = delete;
    InputReadAhead& operator=(const InputReadAhead&) = delete;

    // Starts reading entry `index` (a classified JPEG, TIFF or PNG) onto a fresh
    // zero-filled buffer of `pixels` WorkPixels, as prepareInput places it on
    // `canvas`. A read still under way is awaited and dropped first. Nothing
    // is printed or traced; when no buffer or thread can be had, nothing
    // starts.
    void start(int index, const std::string& path, const ImageInfo& info, const ImageRegion& canvas, size_t pixels);

    // Waits for the read of entry `index`; when it was started and succeeded,
    // hands its buffer over and returns true, with `widened` telling whether
    // the pixels are already WorkPixels (widenToWork). Otherwise the caller
    // reads the entry itself (and reports what fails).
    bool take(int index, PageBuffer<WorkPixel>& buffer, bool& widened);

private:
    void finish();

    WorkerPool& pool_;
    // Owns no trace and no sink: buffers handed over release through it.
    Console quiet_;
    std::thread thread_;
    int index_ = -1;
    bool ok_ = false;
    bool widened_ = false;
    PageBuffer<WorkPixel> buffer_;
};

} // namespace quovix
