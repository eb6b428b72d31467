#include "support/memory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace quovix {

namespace {

size_t pageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

} // namespace

void* trackedAlloc(Console& console, size_t size)
{
    // aligned_alloc needs a size that is a multiple of the alignment.
    size_t rounded = (size + 15) & ~static_cast<size_t>(15);
    void* block = rounded < size ? nullptr : std::aligned_alloc(16, rounded == 0 ? 16 : rounded);
    if (block == nullptr) {
        console.notice("Error allocating %d bytes of memory\n", static_cast<int>(size));
        return nullptr;
    }
    console.traceNumbered(console.counters.allocCount, "Mem|%d|alloc|%p|%d\n", block, static_cast<int>(size));
    return block;
}

void trackedFree(Console& console, void* block)
{
    if (block == nullptr)
        return;
    console.traceNumbered(console.counters.freeCount, "Mem|%d|free|%p\n", block);
    std::free(block);
}

// The region's length is kept in one extra page in front of the returned
// address, so the release needs no table and the address stays page-aligned.
void* trackedPageAlloc(Console& console, size_t size)
{
    const size_t page = pageSize();
    const size_t pages = size / page + (size % page != 0 ? 1 : 0) + 1;
    const size_t length = pages * page;
    void* base = length / page != pages ? MAP_FAILED
                                        : mmap(nullptr, length, PROT_READ | PROT_WRITE,
                                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        console.notice("VirtualAlloc error allocating %d bytes of memory\n", static_cast<int>(size));
        return nullptr;
    }
    *static_cast<size_t*>(base) = length;
    void* block = static_cast<char*>(base) + page;
    console.traceNumbered(console.counters.vAllocCount, "Mem|%d|vAlloc|%p|%d\n", block, static_cast<int>(size));
    return block;
}

void trackedPageFree(Console& console, void* block)
{
    if (block == nullptr)
        return;
    console.traceNumbered(console.counters.vFreeCount, "Mem|%d|vFree|%p\n", block);
    char* base = static_cast<char*>(block) - pageSize();
    munmap(base, *reinterpret_cast<size_t*>(base));
}

void trackedPageTrim(void* block, size_t keep)
{
    if (block == nullptr)
        return;
    const size_t page = pageSize();
    char* base = static_cast<char*>(block) - page;
    const size_t length = *reinterpret_cast<size_t*>(base) - page;
    const size_t from = (keep + page - 1) / page * page;
    if (from < keep || from >= length)
        return;
    // Advice only: a kernel that refuses it leaves the pages as they are.
    (void)madvise(static_cast<char*>(block) + from, length - from, MADV_DONTNEED);
}

} // namespace quovix
