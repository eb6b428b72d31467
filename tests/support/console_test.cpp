#include "support/background_queue.h"
#include "support/console.h"
#include "support/worker_pool.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

class DebugLogTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("QVXTRACE"); }
    TempDir dir;
};

// The library leaves the environment to the command line: QVXTRACE alone
// opens no log.
TEST_F(DebugLogTest, NoPathWritesNothing)
{
    const std::string log = dir.file("env.log");
    setenv("QVXTRACE", log.c_str(), 1);
    Console console(testOptions("").onMessage);
    testing::internal::CaptureStdout();
    console.debugLog("Opening (w): %s", "x.tif");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(fileExists(log));
}

TEST_F(DebugLogTest, LinesCarryTimeStampAndAppend)
{
    std::string log = dir.file("trace.log");
    writeFile(log, "earlier content\n");
    Console console(testOptions("").onMessage, false, log);
    console.debugLog("setTiffSamplesPerPixel: %d", 4);
    console.debugLog("Setting dimensions: %dx%d", 640, 480);

    std::string text = readFile(log);
    std::regex pattern("earlier content\n"
                       "-- [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} --> setTiffSamplesPerPixel: 4\n"
                       "-- [0-2][0-9]:[0-5][0-9]:[0-5][0-9]\\.[0-9]{3} --> Setting dimensions: 640x480\n");
    EXPECT_TRUE(std::regex_match(text, pattern)) << text;
}

TEST_F(DebugLogTest, UnwritableLogReportsAndContinues)
{
    std::string log = dir.file("missing-folder/trace.log");
    Console console(testOptions("").onMessage, false, log);  // a path given in the options
    testing::internal::CaptureStdout();
    console.debugLog("first");
    console.debugLog("second");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Cannot open debug output file: " + log + "Cannot open debug output file: " + log);
}

TEST_F(DebugLogTest, OverlongMessageIsCut)
{
    std::string log = dir.file("long.log");
    Console console(testOptions("").onMessage, false, log);
    std::string huge(20000, 'x');
    console.debugLog("%s", huge.c_str());
    std::string text = readFile(log);
    // Prefix "-- hh:mm:ss.mmm --> " (20 bytes), 8191 message bytes, line end.
    EXPECT_EQ(text.size(), 20u + 8191u + 1u);
}

TEST(ErrorBox, PrintsTheMessageLine)
{
    std::string text;
    MessageKind last = MessageKind::Info;
    Console console([&](MessageKind kind, std::string_view piece) {
        last = kind;
        text += piece;
    });
    console.showErrorBox("Cannot open JPEG file: %s", "a.jpg");
    EXPECT_EQ(text, "Cannot open JPEG file: a.jpg\n");
    EXPECT_EQ(last, MessageKind::Notice);  // a line of a failure: shown by quiet hosts
    // Console text is not cut at any buffer size (long paths).
    const std::string path(3000, 'p');
    console.print("Writing %s\n", path.c_str());
    EXPECT_EQ(text.size(), 29u + 8u + 3000u + 1u);
    EXPECT_EQ(last, MessageKind::Info);
}

// Warnings come whole, with their kind, and do not end the console line
// they interrupt (a host may show them elsewhere); notices keep their text.
TEST(ConsoleKinds, WarningsAreWholeLinesBesideTheConsoleText)
{
    std::vector<std::pair<MessageKind, std::string>> got;
    Console console([&](MessageKind kind, std::string_view piece) { got.emplace_back(kind, std::string(piece)); });
    console.print("Analyzing a.tif");
    console.warn("inputs differ in size (%s)", "a.tif 4x3");
    EXPECT_FALSE(console.atLineStart());
    console.notice("Couldn't open TIFF file: %s", "b.tif");
    const std::vector<std::pair<MessageKind, std::string>> expected = {
        {MessageKind::Info, "Analyzing a.tif"},
        {MessageKind::Warning, "Warning: inputs differ in size (a.tif 4x3)\n"},
        {MessageKind::Notice, "Couldn't open TIFF file: b.tif"},
    };
    EXPECT_EQ(got, expected);
}

TEST(FatalError, CarriesTheTextAndTheCode)
{
    Status status = fatalError("Not enough images specified for fusion");
    EXPECT_FALSE(status.ok());
    EXPECT_EQ(status.exitCode(), 1);
    EXPECT_EQ(status.consoleText(), "Fatal Error: Not enough images specified for fusion\n");
    // Messages that end in their own line end keep it.
    EXPECT_EQ(fatalError("boom\n", kExitIoError).consoleText(), "Fatal Error: boom\n\n");
    EXPECT_EQ(fatalError("boom\n", kExitIoError).exitCode(), -1);
    // The kind follows the code unless a step knows better.
    EXPECT_EQ(status.kind(), ErrorKind::Usage);
    EXPECT_EQ(outOfMemory().kind(), ErrorKind::OutOfMemory);
    EXPECT_EQ(Status::writeFailure("out.tif", "").kind(), ErrorKind::Output);
    EXPECT_EQ(status.withKind(ErrorKind::Output).kind(), ErrorKind::Output);
    EXPECT_EQ(Status().withKind(ErrorKind::Output).kind(), ErrorKind::None);
    EXPECT_TRUE(Status().ok());
}

TEST(TraceLines, GoToTheTraceKindOnlyWhenSwitchedOn)
{
    std::vector<std::pair<MessageKind, std::string>> seen;
    Console console([&](MessageKind kind, std::string_view text) { seen.emplace_back(kind, std::string(text)); });
    int handle = 0;
    console.traceFileOpen("a.tif", "r", &handle);
    EXPECT_TRUE(seen.empty());
    console.setTracing(true);
    console.traceFileOpen("a.tif", "r", &handle);
    console.print("progress");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].first, MessageKind::Trace);
    EXPECT_EQ(seen[1].first, MessageKind::Info);
}

TEST(WorkerPool, RunsEveryJobOnceAndReportsTheLowestFailure)
{
    Console console;
    for (int workers : {1, 2, 3, 8}) {
        WorkerPool pool(console, workers);
        EXPECT_EQ(pool.workers(), workers);
        for (int round = 0; round < 3; ++round) {
            std::vector<std::atomic<int>> hits(97);
            Status status = pool.run(97, [&](int i) {
                hits[static_cast<size_t>(i)]++;
                // Nested calls run on the calling thread instead of waiting on the pool.
                return pool.run(2, [](int) { return Status(); });
            });
            EXPECT_TRUE(status.ok());
            for (auto& h : hits)
                ASSERT_EQ(h.load(), 1) << workers << " workers";
        }
        Status failed = pool.run(50, [](int i) {
            return i % 7 == 3 ? Status::failure(kExitIoError, "job " + std::to_string(i)) : Status();
        });
        EXPECT_EQ(failed.consoleText(), "job 3");
        EXPECT_EQ(failed.kind(), ErrorKind::Input);
        // An exception a job throws is a fault of the library, not of the use.
        Status thrown = pool.run(4, [](int i) -> Status {
            if (i == 2)
                throw std::runtime_error("lost");
            return Status();
        });
        EXPECT_EQ(thrown.consoleText(), "Fatal Error: lost\n");
        EXPECT_EQ(thrown.kind(), ErrorKind::Internal);
    }
    WorkerPool clamped(console, 99);
    EXPECT_EQ(clamped.workers(), 8);
}

// Thread starts that fail (no memory, a process limit) cost speed only: every
// job still runs once and failures are still reported, whichever start fails.
TEST(WorkerPool, FailedThreadStartsLeaveTheJobsToTheOthers)
{
    Console console;
    for (int failAt : {0, 1, 2}) {
        int starts = 0;
        ThreadStarter starter = [&](std::function<void()> body) {
            if (starts++ == failAt)
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            return std::thread(std::move(body));
        };
        WorkerPool pool(console, 4, starter);
        std::vector<std::atomic<int>> hits(61);
        EXPECT_TRUE(pool.run(61, [&](int i) {
                        hits[static_cast<size_t>(i)]++;
                        return Status();
                    }).ok());
        for (auto& h : hits)
            ASSERT_EQ(h.load(), 1) << "thread start " << failAt << " failed";
        Status failed = pool.run(20, [](int i) {
            if (i == 11)
                throw std::bad_alloc();
            return i == 13 ? Status::failure(kExitIoError, "job 13") : Status();
        });
        EXPECT_EQ(failed.exitCode(), kExitNoMemory) << "thread start " << failAt << " failed";
    }
}

// The background writer without its thread runs every job at once, in order,
// and keeps the first failure.
TEST(BackgroundQueue, WithoutItsThreadRunsJobsInOrderOnTheCaller)
{
    ThreadStarter failing = [](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    BackgroundQueue queue(false, 2, failing);
    std::vector<int> order;
    const std::thread::id caller = std::this_thread::get_id();
    bool onCaller = true;
    for (int i = 0; i < 5; ++i) {
        queue.submit([&, i] {
            order.push_back(i);
            onCaller = onCaller && std::this_thread::get_id() == caller;
            if (i == 2)
                throw std::bad_alloc();
            return Status();
        });
    }
    EXPECT_EQ(queue.waitAll().exitCode(), kExitNoMemory);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2})) << "jobs after a failure are skipped";
    EXPECT_TRUE(onCaller);
}

// The balanced cuts cover every row and index exactly once whatever the
// sizes, give a job to a late thread only when there is work, and never cut
// below the minimum.
TEST(WorkerPool, BalancedPiecesCoverEveryUnitOnce)
{
    Console console;
    for (int workers : {1, 2, 3}) {
        WorkerPool pool(console, workers);
        for (int height : {0, 1, 7, 8, 9, 63, 100, 1001}) {
            std::vector<std::atomic<int>> rows(static_cast<size_t>(height));
            std::atomic<int> jobs{0};
            std::atomic<int> smallest{1 << 30};
            ASSERT_TRUE(pool.forRowsBalanced(height, 8, [&](int first, int end) {
                                jobs++;
                                int seen = smallest.load();
                                while (end - first < seen && !smallest.compare_exchange_weak(seen, end - first)) {
                                }
                                for (int r = first; r < end; ++r)
                                    rows[static_cast<size_t>(r)]++;
                                return Status();
                            }).ok());
            for (auto& r : rows)
                ASSERT_EQ(r.load(), 1) << height << " rows, " << workers << " workers";
            EXPECT_EQ(jobs.load(), pool.balancedJobs(height, 8));
            EXPECT_LE(jobs.load(), workers == 1 ? 1 : workers * WorkerPool::kBalancedJobs);
            if (height >= 8) {
                EXPECT_GE(smallest.load(), 8) << height << " rows, " << workers << " workers";
            }
        }
        for (size_t count : {size_t{0}, size_t{5}, size_t{65536}, size_t{1000003}}) {
            std::vector<std::atomic<int>> hits(count);
            ASSERT_TRUE(pool.forRangeBalanced(count, 1000, [&](size_t begin, size_t end) {
                                for (size_t i = begin; i < end; ++i)
                                    hits[i]++;
                            }).ok());
            for (auto& h : hits)
                ASSERT_EQ(h.load(), 1) << count << " units, " << workers << " workers";
        }
    }
    WorkerPool two(console, 2);
    EXPECT_EQ(two.balancedJobs(1000, 8), 2 * WorkerPool::kBalancedJobs);
    EXPECT_EQ(two.balancedJobs(20, 8), 2);
    EXPECT_EQ(two.balancedJobs(3, 8), 1);
    EXPECT_EQ(two.balancedJobs(0, 8), 0);
}

TEST(WorkerPool, RowBandsAreStaticAndEven)
{
    int first[8], last[8];
    EXPECT_EQ(WorkerPool::splitRows(33, 8, first, last), 8);
    EXPECT_EQ(first[7], 28);
    EXPECT_EQ(last[7], 32);
    EXPECT_EQ(WorkerPool::splitRows(32, 8, first, last), 1) << "height 4*T goes to one band";
    EXPECT_EQ(last[0], 31);
    EXPECT_EQ(WorkerPool::splitRows(0, 3, first, last), 1);
    EXPECT_EQ(last[0], -1);
}


} // namespace
