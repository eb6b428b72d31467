// Tracked memory: every buffer of the program comes from here. Under -dm each
// allocation and release prints a numbered trace line, so leaks and double
// releases show up as unmatched lines. Neither allocator returns failure: when
// memory runs out the process reports it, pauses 3 s and exits with -100.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

struct ResourceCounters {
    std::atomic<uint32_t> allocCount{0};
    std::atomic<uint32_t> freeCount{0};
    std::atomic<uint32_t> vAllocCount{0};
    std::atomic<uint32_t> vFreeCount{0};
    std::atomic<uint32_t> fileCloseCount{0};
};

extern ResourceCounters gCounters;

// 16-byte aligned heap block ("Mem|%d|alloc|%p|%d").
void* trackedAlloc(size_t size);
// trackedAlloc, then zero-filled.
void* trackedAllocZero(size_t size);
// Releases a heap block ("Mem|%d|free|%p", printed before the release). Null is ignored.
void trackedFree(void* block);
// Page-aligned, zero-filled region of whole pages ("Mem|%d|vAlloc|%p|%d").
void* trackedPageAlloc(size_t size);
// Releases a whole page region ("Mem|%d|vFree|%p"). Null is ignored.
void trackedPageFree(void* block);

// File trace lines shared by every TIFF open and close.
void traceFileOpen(const char* path, const char* mode, const void* handle);
void traceFileClose(const void* handle);

// Resets the five counters (tests).
void resetResourceCounters();

// Owners that release through the tracked allocators. They add no trace lines
// of their own, so the trace order is that of construction and reset.
template <typename T>
class HeapBuffer {
public:
    HeapBuffer() = default;
    explicit HeapBuffer(size_t count, bool zero = false)
        : p_(static_cast<T*>(zero ? trackedAllocZero(count * sizeof(T)) : trackedAlloc(count * sizeof(T)))) {}
    ~HeapBuffer() { reset(); }
    HeapBuffer(const HeapBuffer&) = delete;
    HeapBuffer& operator=(const HeapBuffer&) = delete;
    HeapBuffer(HeapBuffer&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    HeapBuffer& operator=(HeapBuffer&& o) noexcept { if (this != &o) { reset(); p_ = std::exchange(o.p_, nullptr); } return *this; }
    void reset() { if (p_) { trackedFree(p_); p_ = nullptr; } }
    T* get() const { return p_; }
    T& operator[](size_t i) const { return p_[i]; }
private:
    T* p_ = nullptr;
};

template <typename T>
class PageBuffer {
public:
    PageBuffer() = default;
    explicit PageBuffer(size_t count) : p_(static_cast<T*>(trackedPageAlloc(count * sizeof(T)))) {}
    ~PageBuffer() { reset(); }
    PageBuffer(const PageBuffer&) = delete;
    PageBuffer& operator=(const PageBuffer&) = delete;
    PageBuffer(PageBuffer&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    PageBuffer& operator=(PageBuffer&& o) noexcept { if (this != &o) { reset(); p_ = std::exchange(o.p_, nullptr); } return *this; }
    void reset() { if (p_) { trackedPageFree(p_); p_ = nullptr; } }
    T* get() const { return p_; }
    T& operator[](size_t i) const { return p_[i]; }
private:
    T* p_ = nullptr;
};
