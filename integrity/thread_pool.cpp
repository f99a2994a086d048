#include "integrity/thread_pool.h"

#include <exception>
#include <string>

#include "core/log.h"

ThreadPool::ThreadPool(unsigned workerCount) {
    if (workerCount == 0) workerCount = 1;
    workers.reserve(workerCount);
    try {
        for (unsigned i = 0; i < workerCount; ++i) workers.emplace_back([this] { workerLoop(); });
    } catch (...) {
        // Joinable threads must not be destroyed: end the ones that did start.
        stopAndJoin();
        throw;
    }
}

ThreadPool::~ThreadPool() {
    stopAndJoin();
}

void ThreadPool::stopAndJoin() {
    {
        const std::lock_guard lock(queueMutex);
        stop = true;
    }
    condition.notify_all();
    for (auto& worker : workers)
        if (worker.joinable()) worker.join();
}

void ThreadPool::workerLoop() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(queueMutex);
            condition.wait(lock, [this] { return stop || !tasks.empty(); });
            if (stop && tasks.empty()) return;
            job = std::move(tasks.front());
            tasks.pop_front();
        }
        // Jobs are meant to handle their own failures; one that does not must still not take
        // the whole update down with it.
        try {
            job();
        } catch (const std::exception& error) {
            logLine(std::string("Worker job failed: ") + error.what());
        } catch (...) {
            logLine("Worker job failed");
        }
    }
}
