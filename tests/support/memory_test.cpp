#include "support/memory.h"

#include "app/command_line.h"
#include "image_fixture.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <sys/mman.h>
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
    Console& console = run.console;
    for (size_t size : {1u, 15u, 17u, 1000u, 65536u}) {
        void* block = trackedAlloc(console, size);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 16, 0u);
        trackedFree(console, block);
    }
    HeapBuffer<unsigned char> zero;
    ASSERT_TRUE(zero.allocate(console, 333, true).ok());
    for (int i = 0; i < 333; ++i)
        ASSERT_EQ(zero[i], 0);

    const size_t size = 3 * 4096 + 5;
    auto* page = static_cast<unsigned char*>(trackedPageAlloc(console, size));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(page) % 4096, 0u);
    for (size_t i = 0; i < size; ++i)
        ASSERT_EQ(page[i], 0);
    page[size - 1] = 7; // the whole requested size is writable
    trackedPageFree(console, page);
}

// A trimmed page region keeps its first bytes (whole pages), gives the rest
// back (no longer resident, zero when read again) and prints no trace line.
TEST_F(MemoryTest, TrimmedPagesGoBackAndReadAsZero)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    PageBuffer<unsigned char> buffer;
    const size_t size = 16 * page + 5;
    ASSERT_TRUE(buffer.allocate(run.console, size).ok());
    std::memset(buffer.get(), 0xAB, size);
    run.console.setTracing(true);
    testing::internal::CaptureStdout();
    buffer.trim(3 * page + 1);   // keeps four pages
    buffer.trim(size + page);    // nothing beyond the region: no change
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    run.console.setTracing(false);
    std::vector<unsigned char> resident(17);
    ASSERT_EQ(mincore(buffer.get(), size, resident.data()), 0);
    for (size_t k = 0; k < 17; ++k)
        EXPECT_EQ(resident[k] & 1, k < 4 ? 1 : 0) << "page " << k;
    for (size_t i = 0; i < size; ++i)
        ASSERT_EQ(buffer[i], i < 4 * page ? 0xAB : 0) << "byte " << i;
}

TEST_F(MemoryTest, NoTraceWithoutSwitch)
{
    Console& console = run.console;
    testing::internal::CaptureStdout();
    trackedFree(console, trackedAlloc(console, 64));
    trackedPageFree(console, trackedPageAlloc(console, 64));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(console.counters.allocCount.load(), 0u);
    EXPECT_EQ(console.counters.vFreeCount.load(), 0u);
}

TEST_F(MemoryTest, TraceLinesAreNumberedPerKind)
{
    Console& console = run.console;
    console.setTracing(true);
    testing::internal::CaptureStdout();
    void* a = trackedAlloc(console, 32);
    void* b = trackedAlloc(console, 48);
    void* p = trackedPageAlloc(console, 10000);
    trackedFree(console, b);
    trackedPageFree(console, p);
    trackedFree(console, a);
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
    Console& console = run.console;
    console.setTracing(true);
    const int threads = 8;
    const int perThread = 200;
    testing::internal::CaptureStdout();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&console] {
            for (int i = 0; i < perThread; ++i)
                trackedFree(console, trackedAlloc(console, 24));
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
    EXPECT_EQ(console.counters.freeCount.load(), static_cast<uint32_t>(threads * perThread));
}

TEST_F(MemoryTest, FileTraceLines)
{
    Console& console = run.console;
    console.setTracing(true);
    int dummy = 0;
    testing::internal::CaptureStdout();
    console.traceFileOpen("a.tif", "r", &dummy);
    console.traceFileClose(&dummy);
    console.traceFileClose(&dummy);
    std::string out = testing::internal::GetCapturedStdout();
    char expected[256];
    std::snprintf(expected, sizeof expected, "File|a.tif|open(r)|%p\nFile|0|close|%p\nFile|1|close|%p\n",
                  static_cast<void*>(&dummy), static_cast<void*>(&dummy), static_cast<void*>(&dummy));
    EXPECT_EQ(out, expected);
}

TEST_F(MemoryTest, ExhaustionIsReportedAsOutOfMemory)
{
    // A request no machine can meet: the allocator reports which one failed
    // and the buffer hands back the out-of-memory status.
    testing::internal::CaptureStdout();
    PageBuffer<uint8_t> pages;
    const size_t huge = (size_t(1) << 42) + 12345;  // printed as its low 32 bits
    Status pageStatus = pages.allocate(run.console, huge);
    HeapBuffer<uint8_t> heap;
    Status heapStatus = heap.allocate(run.console, huge);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(pageStatus.exitCode(), kExitNoMemory);
    EXPECT_EQ(heapStatus.exitCode(), kExitNoMemory);
    EXPECT_EQ(heapStatus.consoleText(), "Insufficient memory available to continue");
    EXPECT_EQ(pages.get(), nullptr);
    EXPECT_EQ(out, "VirtualAlloc error allocating 12345 bytes of memory\nError allocating 12345 bytes of memory\n");
}

#if !defined(__SANITIZE_ADDRESS__)
// In the death-test child: messages to stderr where the test can match them,
// and an address space too small for the image buffers of a run.
void limitAddressSpace()
{
    dup2(2, 1);
    rlimit limit{};
    limit.rlim_cur = limit.rlim_max = 96u << 20;
    setrlimit(RLIMIT_AS, &limit);
}

TEST_F(MemoryTest, ProgramExitsWithMinus100WhenMemoryRunsOut)
{
    // A canvas of 4000 x 4000 pixels needs a 128 MB buffer: more than the
    // child may have. The program waits 3 s, then ends with -100 (156).
    const std::string a = testRun_.dir().file("a.tif");
    const std::string b = testRun_.dir().file("b.tif");
    FixtureImage left = makeFixture(8, 8, 3, 8, 0, 0);
    FixtureImage right = makeFixture(8, 8, 3, 8, 3990, 3990);
    ASSERT_TRUE(writeFixtureTiff(a, left));
    ASSERT_TRUE(writeFixtureTiff(b, right));
    const std::string out = testRun_.dir().file("out.tif");
    const std::string tmp = testRun_.dir().path();
    auto runProgram = [&] {
        limitAddressSpace();
        setenv("TMPDIR", tmp.c_str(), 1);
        std::vector<std::string> args = {"quovix", "-o", out, a, b};
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::exit(runMain(static_cast<int>(args.size()), argv.data()));
    };
    EXPECT_EXIT(runProgram(), testing::ExitedWithCode(156),
                "allocating [0-9]+ bytes of memory\nInsufficient memory available to continue");
}
#endif

} // namespace
