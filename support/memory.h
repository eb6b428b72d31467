// Tracked memory: every image, level and row buffer comes from here. Under the
// run's resource trace each allocation and release prints a numbered line, so
// leaks and double releases show up as unmatched lines. A request that cannot
// be met prints which one and comes back empty; the caller returns
// outOfMemory().
#pragma once

#include "support/console.h"
#include "support/status.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace quovix {

// 16-byte aligned heap block ("Mem|%d|alloc|%p|%d"); null when memory is exhausted.
void* trackedAlloc(Console& console, size_t size);
// Releases a heap block ("Mem|%d|free|%p", printed before the release). Null is ignored.
void trackedFree(Console& console, void* block);
// Page-aligned, zero-filled region of whole pages ("Mem|%d|vAlloc|%p|%d"); null when exhausted.
void* trackedPageAlloc(Console& console, size_t size);
// Releases a whole page region ("Mem|%d|vFree|%p"). Null is ignored.
void trackedPageFree(Console& console, void* block);

// Gives the pages of a page region beyond its first `keep` bytes back to the
// system; they read as zero when touched again. No trace line: the region
// stays allocated.
void trackedPageTrim(void* block, size_t keep);

enum class BlockKind { Heap, Pages };

// An owner of one tracked block. It adds no trace lines of its own, so the
// trace order is that of allocate() and reset().
template <typename T, BlockKind Kind>
class TrackedBuffer {
public:
    TrackedBuffer() = default;
    ~TrackedBuffer() { reset(); }
    TrackedBuffer(const TrackedBuffer&) = delete;
    TrackedBuffer& operator=(const TrackedBuffer&) = delete;
    TrackedBuffer(TrackedBuffer&& o) noexcept : console_(o.console_), p_(std::exchange(o.p_, nullptr)) {}
    TrackedBuffer& operator=(TrackedBuffer&& o) noexcept
    {
        if (this != &o) {
            reset();
            console_ = o.console_;
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }

    // Heap blocks are zero-filled on request; page regions always are.
    Status allocate(Console& console, size_t count, bool zero = false)
    {
        reset();
        console_ = &console;
        const size_t bytes = count * sizeof(T);
        void* block = Kind == BlockKind::Pages ? trackedPageAlloc(console, bytes) : trackedAlloc(console, bytes);
        if (block == nullptr)
            return outOfMemory();
        if (Kind == BlockKind::Heap && zero)
            __builtin_memset(block, 0, bytes);
        p_ = static_cast<T*>(block);
        return Status();
    }

    void reset()
    {
        if (p_ == nullptr)
            return;
        if (Kind == BlockKind::Pages)
            trackedPageFree(*console_, p_);
        else
            trackedFree(*console_, p_);
        p_ = nullptr;
    }

    // Page regions: everything after the first `count` elements back to the
    // system, zero when touched again (for a buffer whose later use is
    // smaller).
    void trim(size_t count)
    {
        static_assert(Kind == BlockKind::Pages, "only page regions can be trimmed");
        trackedPageTrim(p_, count * sizeof(T));
    }

    T* get() const { return p_; }
    T& operator[](size_t i) const { return p_[i]; }

private:
    Console* console_ = nullptr;
    T* p_ = nullptr;
};

template <typename T>
using HeapBuffer = TrackedBuffer<T, BlockKind::Heap>;
template <typename T>
using PageBuffer = TrackedBuffer<T, BlockKind::Pages>;

} // namespace quovix
