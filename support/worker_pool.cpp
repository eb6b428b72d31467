#include "support/worker_pool.h"

#include <algorithm>
#include <system_error>

namespace quovix {

// One call's jobs. It lives on the caller's stack: workers take it only from
// the queue, under the lock, and the caller waits until no worker holds it.
struct WorkerPool::Batch {
    const std::function<Status(int)>* job = nullptr;
    int count = 0;
    std::atomic<int> next{0};
    int holders = 0;  // workers inside work(), guarded by the pool's lock
    std::vector<Status> failures;
};

WorkerPool::WorkerPool(Console& console, int workers, ThreadStarter starter, const std::atomic<bool>* cancel)
    : console_(console), workers_(std::clamp(workers, 1, 8)), starter_(std::move(starter)), cancel_(cancel)
{
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

int WorkerPool::splitRows(int height, int workers, int firstRow[8], int lastRow[8])
{
    int count = std::clamp(workers, 1, 8);
    int rowsPerWorker;
    // Small levels are not worth splitting.
    if (height > 4 * count) {
        rowsPerWorker = height / count;
    } else {
        count = 1;
        rowsPerWorker = height;
    }
    for (int i = 0; i < count; ++i) {
        firstRow[i] = i * rowsPerWorker;
        lastRow[i] = firstRow[i] + rowsPerWorker - 1;
    }
    lastRow[count - 1] = height - 1;  // the last band takes the remainder
    return count;
}

Status WorkerPool::forRows(int height, const std::function<Status(int, int)>& fn)
{
    int first[8];
    int last[8];
    const int bands = splitRows(height, workers_, first, last);
    return run(bands, [&](int i) { return fn(first[i], last[i] + 1); });
}

Status WorkerPool::forRange(size_t count, size_t minChunk, const std::function<void(size_t, size_t)>& fn)
{
    size_t chunks = static_cast<size_t>(workers_);
    if (minChunk > 0 && count / minChunk < chunks)
        chunks = count / minChunk > 0 ? count / minChunk : 1;
    const size_t step = count / chunks;
    return run(static_cast<int>(chunks), [&](int i) {
        const size_t begin = static_cast<size_t>(i) * step;
        const size_t end = static_cast<size_t>(i) + 1 == chunks ? count : begin + step;
        fn(begin, end);
        return Status();
    });
}

int WorkerPool::balancedJobs(int64_t units, int64_t minUnits) const
{
    if (units <= 0)
        return 0;
    int64_t jobs = workers_ == 1 ? 1 : static_cast<int64_t>(workers_) * kBalancedJobs;
    if (minUnits > 0)
        jobs = std::min(jobs, units / minUnits);
    return static_cast<int>(std::max<int64_t>(jobs, 1));
}

Status WorkerPool::forRowsBalanced(int height, int minRows, const std::function<Status(int, int)>& fn)
{
    const int jobs = balancedJobs(height, minRows);
    return run(jobs, [&](int i) {
        const int first = static_cast<int>(static_cast<int64_t>(height) * i / jobs);
        const int end = static_cast<int>(static_cast<int64_t>(height) * (i + 1) / jobs);
        return fn(first, end);
    });
}

Status WorkerPool::forRangeBalanced(size_t count, size_t minChunk, const std::function<void(size_t, size_t)>& fn)
{
    const int jobs = balancedJobs(static_cast<int64_t>(count), static_cast<int64_t>(minChunk));
    return run(jobs, [&](int i) {
        const size_t n = static_cast<size_t>(jobs);
        fn(count / n * static_cast<size_t>(i) + std::min(static_cast<size_t>(i), count % n),
           count / n * static_cast<size_t>(i + 1) + std::min(static_cast<size_t>(i + 1), count % n));
        return Status();
    });
}

void WorkerPool::startThreads()
{
    started_ = true;
    for (int i = 1; i < workers_; ++i) {
        try {
            std::function<void()> body = [this] { threadMain(); };
            threads_.push_back(starter_ ? starter_(std::move(body)) : std::thread(std::move(body)));
        } catch (const std::exception&) {
            // Fewer threads: the ones started and the callers take every job.
            console_.debugLog("Worker pool: %d of %d threads started", static_cast<int>(threads_.size()) + 1,
                              workers_);
            return;
        }
    }
}

void WorkerPool::work(Batch& batch)
{
    for (int i = batch.next.fetch_add(1); i < batch.count; i = batch.next.fetch_add(1)) {
        Status status;
        if (cancelled()) {
            batch.failures[static_cast<size_t>(i)] = interrupted();
            continue;
        }
        try {
            status = (*batch.job)(i);
        } catch (const std::bad_alloc&) {
            status = outOfMemory();
        } catch (const std::exception& e) {
            status = internalError(e.what());
        }
        if (!status.ok())
            batch.failures[static_cast<size_t>(i)] = status;
    }
}

void WorkerPool::threadMain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        Batch* batch = queue_.front();
        if (batch->next.load() >= batch->count) {
            queue_.pop_front();  // every job taken; its caller waits for the rest
            continue;
        }
        ++batch->holders;
        lock.unlock();
        work(*batch);
        lock.lock();
        if (--batch->holders == 0)
            finished_.notify_all();
    }
}

Status WorkerPool::run(int count, const std::function<Status(int)>& job)
{
    if (count <= 0)
        return Status();
    bool alone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ && workers_ > 1 && count > 1)
            startThreads();
        alone = threads_.empty();
    }
    if (alone || count == 1) {
        for (int i = 0; i < count; ++i) {
            if (cancelled())
                return interrupted();
            Status status;
            try {
                status = job(i);
            } catch (const std::bad_alloc&) {
                status = outOfMemory();
            } catch (const std::exception& e) {
                status = internalError(e.what());
            }
            QVX_TRY(status);
        }
        return Status();
    }

    Batch batch;
    batch.job = &job;
    batch.count = count;
    batch.failures.assign(static_cast<size_t>(count), Status());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(&batch);
    }
    wake_.notify_all();

    work(batch);

    std::unique_lock<std::mutex> lock(mutex_);
    auto it = std::find(queue_.begin(), queue_.end(), &batch);
    if (it != queue_.end())
        queue_.erase(it);
    finished_.wait(lock, [&] { return batch.holders == 0; });
    lock.unlock();
    for (const Status& s : batch.failures) {
        if (!s.ok())
            return s;
    }
    return Status();
}

} // namespace quovix
