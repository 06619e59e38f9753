// A few threads that run submitted jobs in the order given. Threads are
// started only as jobs need them, up to the limit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkerPool {
public:
    explicit WorkerPool(size_t maxThreads);
    // Runs every job already submitted, then joins the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void Submit(std::function<void()> job);
    size_t MaxThreads() const { return max_; }

private:
    void Work();

    const size_t max_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool closing_ = false;
};

// The thread count a "Threads" setting asks for: 0 is one per processor this
// process may run on; at least 1, at most kThreadsMax.
size_t ThreadsFor(int32_t setting);

// Called first by each program: the allocator keeps the buffers a row gives
// back for the next row instead of returning them to the system, which the
// next row then faults in again page by page.
void KeepRowBuffers();
