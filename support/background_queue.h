// A bounded queue of jobs run in order on one background thread, so that the
// main thread computes the next level while earlier files are compressed and
// written. The owner decides which buffers a job may read and waits for that
// job before touching them; the destructor waits for every job, so a job never
// outlives the buffers of the scope that holds the queue. When its thread
// cannot be started, jobs run on the calling thread as they are submitted.
#pragma once

#include "support/status.h"
#include "support/worker_pool.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace quovix {

class BackgroundQueue {
public:
    // With `synchronous`, jobs run at once on the calling thread (used when the
    // trace must show every step in program order).
    BackgroundQueue(bool synchronous, int capacity = 4, ThreadStarter starter = {});
    ~BackgroundQueue();
    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

    using Ticket = uint64_t;

    bool synchronous() const { return synchronous_; }

    // Queues a job, waiting while `capacity` jobs are pending.
    Ticket submit(std::function<Status()> job);
    // Waits until the job with that ticket (and every earlier one) has run;
    // returns the first failure of any job run so far.
    Status wait(Ticket ticket);
    Status waitAll();

private:
    void threadMain();
    Ticket runHere(const std::function<Status()>& job);

    bool synchronous_;
    size_t capacity_;
    ThreadStarter starter_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<Status()>> jobs_;
    Ticket submitted_ = 0;
    Ticket finished_ = 0;
    Status firstFailure_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace quovix
