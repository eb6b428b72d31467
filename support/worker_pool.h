// The worker threads of one run, started on first use and kept until the run
// ends. A call hands out job indices 0..count-1 and waits for all of them; the
// calling thread takes jobs too. Several calls may be under way at once (the
// background writer and the main thread, or a job that calls again): their
// jobs share the threads. Jobs must be independent: which thread runs which
// job varies, the results must not. Threads that cannot be started (no
// memory, a process limit) leave their jobs to the threads that did start and
// to the caller: a run only gets slower, never incomplete.
#pragma once

#include "support/console.h"
#include "support/status.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quovix {

// Starts a thread running `body`; throws std::system_error when it cannot.
// Tests replace it to make thread starts fail.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

class WorkerPool {
public:
    // Once `cancel` (may be null) is set, jobs not yet started are skipped
    // and the call returns interrupted().
    WorkerPool(Console& console, int workers, ThreadStarter starter = {}, const std::atomic<bool>* cancel = nullptr);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int workers() const { return workers_; }

    // Runs job(i) for every i in [0, count) and waits for all of them. The
    // failure of the lowest index is returned (an exception a job throws is
    // one: std::bad_alloc becomes outOfMemory()).
    Status run(int count, const std::function<Status(int)>& job);

    // Static even bands of rows over at most `workers` jobs: band i covers
    // rows firstRow[i]..lastRow[i]; small heights get one band.
    static int splitRows(int height, int workers, int firstRow[8], int lastRow[8]);

    // Runs fn(firstRow, endRow) over static bands of `height` rows (as
    // splitRows cuts them for this pool) and waits.
    Status forRows(int height, const std::function<Status(int firstRow, int endRow)>& fn);

    // Runs fn(begin, end) over static even chunks of [0, count), at most one
    // per worker and none smaller than minChunk, and waits.
    Status forRange(size_t count, size_t minChunk, const std::function<void(size_t begin, size_t end)>& fn);

    // As forRows and forRange, for work whose result does not depend on how
    // it is cut: kBalancedJobs pieces per worker, taken as threads come free,
    // so that a thread held up elsewhere (another caller's job, another
    // process) leaves its share to the others instead of keeping them
    // waiting for its one band.
    static constexpr int kBalancedJobs = 4;
    Status forRowsBalanced(int height, int minRows, const std::function<Status(int firstRow, int endRow)>& fn);
    Status forRangeBalanced(size_t count, size_t minChunk, const std::function<void(size_t begin, size_t end)>& fn);
    // The number of pieces those cut `units` into, none under `minUnits`.
    int balancedJobs(int64_t units, int64_t minUnits) const;

private:
    struct Batch;
    void startThreads();
    void threadMain();
    void work(Batch& batch);
    bool cancelled() const { return cancel_ != nullptr && cancel_->load(std::memory_order_relaxed); }

    Console& console_;
    int workers_;
    ThreadStarter starter_;
    const std::atomic<bool>* cancel_;
    bool started_ = false;
    std::vector<std::thread> threads_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    std::deque<Batch*> queue_;
    bool stopping_ = false;
};

} // namespace quovix
