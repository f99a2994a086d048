// A fixed set of worker threads that run queued jobs first in, first out. The bulk operations
// create one per run, queue one job per file and destroy it: the destructor waits for every job.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

class ThreadPool {
public:
    // Starts `workerCount` workers, at least one. Throws std::system_error when a thread cannot
    // be started; the workers already running are stopped first.
    explicit ThreadPool(unsigned workerCount);
    // Runs every job still queued, then joins the workers in the order they were started.
    ~ThreadPool();

    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    template <class Job>
    void enqueue(Job&& job) {
        // The shared holder lets move-only closures live in a copyable std::function.
        auto held = std::make_shared<std::decay_t<Job>>(std::forward<Job>(job));
        {
            const std::lock_guard lock(queueMutex);
            tasks.emplace_back([held] { (*held)(); });
        }
        condition.notify_one();
    }

private:
    void workerLoop();
    void stopAndJoin();

    std::vector<std::thread> workers;
    std::deque<std::function<void()>> tasks;
    std::mutex queueMutex;
    std::condition_variable condition;
    std::atomic<bool> stop{false};
};
