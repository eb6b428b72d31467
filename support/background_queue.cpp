#include "support/background_queue.h"

#include <exception>
#include <new>

namespace quovix {

namespace {

Status runGuarded(const std::function<Status()>& job)
{
    try {
        return job();
    } catch (const std::bad_alloc&) {
        return outOfMemory();
    } catch (const std::exception& e) {
        return internalError(e.what());
    }
}

} // namespace

BackgroundQueue::BackgroundQueue(bool synchronous, int capacity, ThreadStarter starter)
    : synchronous_(synchronous), capacity_(capacity < 1 ? 1 : static_cast<size_t>(capacity)),
      starter_(std::move(starter))
{
}

BackgroundQueue::~BackgroundQueue()
{
    (void)waitAll();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

BackgroundQueue::Ticket BackgroundQueue::runHere(const std::function<Status()>& job)
{
    bool skip;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        skip = !firstFailure_.ok();
    }
    Status status = skip ? Status() : runGuarded(job);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!status.ok() && firstFailure_.ok())
        firstFailure_ = status;
    finished_ = ++submitted_;
    return submitted_;
}

BackgroundQueue::Ticket BackgroundQueue::submit(std::function<Status()> job)
{
    if (synchronous_)
        return runHere(job);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
        try {
            std::function<void()> body = [this] { threadMain(); };
            thread_ = starter_ ? starter_(std::move(body)) : std::thread(std::move(body));
        } catch (const std::exception&) {
            // No background thread: nothing is queued yet, so the jobs keep
            // their order when they run here.
            synchronous_ = true;
            lock.unlock();
            return runHere(job);
        }
    }
    changed_.wait(lock, [&] { return jobs_.size() < capacity_; });
    jobs_.push_back(std::move(job));
    const Ticket ticket = ++submitted_;
    lock.unlock();
    changed_.notify_all();
    return ticket;
}

Status BackgroundQueue::wait(Ticket ticket)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_ >= ticket; });
    return firstFailure_;
}

Status BackgroundQueue::waitAll()
{
    Ticket last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = submitted_;
    }
    return wait(last);
}

void BackgroundQueue::threadMain()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty())
            return;
        std::function<Status()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        changed_.notify_all();
        Status status;
        // After a failure the remaining jobs are skipped: the run ends with it.
        bool skip;
        {
            std::lock_guard<std::mutex> check(mutex_);
            skip = !firstFailure_.ok();
        }
        if (!skip)
            status = runGuarded(job);
        lock.lock();
        if (!status.ok() && firstFailure_.ok())
            firstFailure_ = status;
        ++finished_;
        changed_.notify_all();
    }
}

} // namespace quovix
