#include "support/memory.h"
#include "support/settings.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class MemoryTest : public FreshSettingsTest {};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

TEST_F(MemoryTest, BlocksAreAlignedAndPagesZeroFilled)
{
    for (size_t size : {1u, 15u, 17u, 1000u, 65536u}) {
        void* block = trackedAlloc(size);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        trackedFree(block);
    }
    auto* zero = static_cast<unsigned char*>(trackedAllocZero(333));
    for (int i = 0; i < 333; ++i)
        ASSERT_EQ(zero[i], 0);
    trackedFree(zero);

    const size_t size = 3 * 4096 + 5;
    auto* page = static_cast<unsigned char*>(trackedPageAlloc(size));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(page) % 4096, 0u);
    for (size_t i = 0; i < size; ++i)
        ASSERT_EQ(page[i], 0);
    page[size - 1] = 7; // the whole requested size is writable
    trackedPageFree(page);
}

TEST_F(MemoryTest, NoTraceWithoutSwitch)
{
    testing::internal::CaptureStdout();
    trackedFree(trackedAlloc(64));
    trackedPageFree(trackedPageAlloc(64));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(gCounters.allocCount.load(), 0u);
    EXPECT_EQ(gCounters.vFreeCount.load(), 0u);
}

TEST_F(MemoryTest, TraceLinesAreNumberedPerKind)
{
    gSettings.traceResources = true;
    testing::internal::CaptureStdout();
    void* a = trackedAlloc(32);
    void* b = trackedAllocZero(48);
    void* p = trackedPageAlloc(10000);
    trackedFree(b);
    trackedPageFree(p);
    trackedFree(a);
    std::string out = testing::internal::GetCapturedStdout();

    char expected[512];
    std::snprintf(expected, sizeof expected,
                  "Mem|0|alloc|%p|32\nMem|1|alloc|%p|48\nMem|0|vAlloc|%p|10000\n"
                  "Mem|0|free|%p\nMem|0|vFree|%p\nMem|1|free|%p\n",
                  a, b, p, b, p, a);
    EXPECT_EQ(out, expected);
}

TEST_F(MemoryTest, ConcurrentTraceNumbersAreUnique)
{
    gSettings.traceResources = true;
    const int threads = 8;
    const int perThread = 200;
    testing::internal::CaptureStdout();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([] {
            for (int i = 0; i < perThread; ++i)
                trackedFree(trackedAlloc(24));
        });
    }
    for (auto& w : workers)
        w.join();
    std::string out = testing::internal::GetCapturedStdout();

    std::set<int> allocNumbers, freeNumbers;
    int lastAlloc = -1, lastFree = -1;
    for (const std::string& line : lines(out)) {
        int n = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "Mem|%d|", &n), 1) << line;
        // Lines of different threads appear in the order of their numbers.
        if (line.find("|alloc|") != std::string::npos) {
            EXPECT_EQ(n, lastAlloc + 1);
            lastAlloc = n;
            allocNumbers.insert(n);
        } else {
            EXPECT_EQ(n, lastFree + 1);
            lastFree = n;
            freeNumbers.insert(n);
        }
    }
    EXPECT_EQ(allocNumbers.size(), static_cast<size_t>(threads * perThread));
    EXPECT_EQ(freeNumbers.size(), static_cast<size_t>(threads * perThread));
    EXPECT_EQ(*allocNumbers.rbegin(), threads * perThread - 1);
    EXPECT_EQ(gCounters.freeCount.load(), static_cast<uint32_t>(threads * perThread));
}

TEST_F(MemoryTest, FileTraceLines)
{
    gSettings.traceResources = true;
    int dummy = 0;
    testing::internal::CaptureStdout();
    traceFileOpen("a.tif", "r", &dummy);
    traceFileClose(&dummy);
    traceFileClose(&dummy);
    std::string out = testing::internal::GetCapturedStdout();
    char expected[256];
    std::snprintf(expected, sizeof expected, "File|a.tif|open(r)|%p\nFile|0|close|%p\nFile|1|close|%p\n",
                  static_cast<void*>(&dummy), static_cast<void*>(&dummy), static_cast<void*>(&dummy));
    EXPECT_EQ(out, expected);
}

#if !defined(__SANITIZE_ADDRESS__)
// In the death-test child: messages to stderr where the test can match them,
// and an address space too small for the request.
void limitAddressSpace()
{
    dup2(2, 1);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 256u << 20;
    setrlimit(RLIMIT_AS, &limit);
}

TEST_F(MemoryTest, ExhaustionExitsWithMinus100)
{
    // Limit the address space in the child so that the request cannot succeed.
    EXPECT_EXIT(
        {
            limitAddressSpace();
            trackedPageAlloc(size_t(1) << 30);
        },
        testing::ExitedWithCode(156),
        "VirtualAlloc error allocating 1073741824 bytes of memory\nInsufficient memory available to continue");
    EXPECT_EXIT(
        {
            limitAddressSpace();
            trackedAlloc(size_t(1) << 30);
        },
        testing::ExitedWithCode(156),
        "Error allocating 1073741824 bytes of memory\nInsufficient memory available to continue");
}
#endif

} // namespace
