#include "support/memory.h"

#include "support/console.h"
#include "support/settings.h"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

ResourceCounters gCounters;

namespace {

[[noreturn]] void outOfMemory()
{
    std::printf("Insufficient memory available to continue");
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    endProcess(kExitNoMemory);
}

// Numbering and printing happen under one lock, so the trace lines of
// concurrent workers appear in the order of their numbers.
std::mutex gTraceMutex;

void traceLine(std::atomic<uint32_t>& counter, const char* format, const void* address, int size = -1)
{
    std::lock_guard<std::mutex> lock(gTraceMutex);
    int number = static_cast<int>(counter++);
    if (size >= 0)
        std::printf(format, number, address, size);
    else
        std::printf(format, number, address);
}

size_t pageSize()
{
    static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

} // namespace

void resetResourceCounters()
{
    gCounters.allocCount = 0;
    gCounters.freeCount = 0;
    gCounters.vAllocCount = 0;
    gCounters.vFreeCount = 0;
    gCounters.fileCloseCount = 0;
}

void* trackedAlloc(size_t size)
{
    // aligned_alloc needs a size that is a multiple of the alignment.
    size_t rounded = (size + 15) & ~static_cast<size_t>(15);
    void* block = std::aligned_alloc(16, rounded == 0 ? 16 : rounded);
    if (block == nullptr) {
        std::printf("Error allocating %d bytes of memory\n", static_cast<int>(size));
        outOfMemory();
    }
    if (gSettings.traceResources)
        traceLine(gCounters.allocCount, "Mem|%d|alloc|%p|%d\n", block, static_cast<int>(size));
    return block;
}

void* trackedAllocZero(size_t size)
{
    void* block = trackedAlloc(size);
    std::memset(block, 0, size);
    return block;
}

void trackedFree(void* block)
{
    if (block == nullptr)
        return;
    if (gSettings.traceResources)
        traceLine(gCounters.freeCount, "Mem|%d|free|%p\n", block);
    std::free(block);
}

// The region's length is kept in one extra page in front of the returned
// address, so the release needs no table and the address stays page-aligned.
void* trackedPageAlloc(size_t size)
{
    const size_t page = pageSize();
    size_t length = ((size + page - 1) / page + 1) * page;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED || size > length) {
        std::printf("VirtualAlloc error allocating %d bytes of memory\n", static_cast<int>(size));
        outOfMemory();
    }
    *static_cast<size_t*>(base) = length;
    void* block = static_cast<char*>(base) + page;
    if (gSettings.traceResources)
        traceLine(gCounters.vAllocCount, "Mem|%d|vAlloc|%p|%d\n", block, static_cast<int>(size));
    return block;
}

void trackedPageFree(void* block)
{
    if (block == nullptr)
        return;
    if (gSettings.traceResources)
        traceLine(gCounters.vFreeCount, "Mem|%d|vFree|%p\n", block);
    char* base = static_cast<char*>(block) - pageSize();
    munmap(base, *reinterpret_cast<size_t*>(base));
}

void traceFileOpen(const char* path, const char* mode, const void* handle)
{
    if (gSettings.traceResources)
        std::printf("File|%s|open(%s)|%p\n", path, mode, handle);
}

void traceFileClose(const void* handle)
{
    if (gSettings.traceResources)
        traceLine(gCounters.fileCloseCount, "File|%d|close|%p\n", handle);
}
