#include "core/background_task.h"

#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/log.h"

bool BackgroundTask::start(std::function<void()> work) {
    {
        const std::lock_guard lock(lock_);
        if (running_) return false;
        running_ = true;
    }
    try {
        // Detached: the process may end (the player's "close") while the work still waits for a
        // server, and ends it with the rest.
        std::thread([this, work = std::move(work)] {
            try {
                work();
            } catch (const std::exception& error) {
                logLine(std::string("Background work failed: ") + error.what());
            } catch (...) {
                logLine("Background work failed: unknown error");
            }
            finish();
        }).detach();
    } catch (const std::system_error& error) {
        logLine(std::string("No thread for background work: ") + error.what());
        finish();
        return false;
    }
    return true;
}

bool BackgroundTask::running() const {
    const std::lock_guard lock(lock_);
    return running_;
}

void BackgroundTask::waitIdle() const {
    std::unique_lock lock(lock_);
    idle_.wait(lock, [this] { return !running_; });
}

void BackgroundTask::finish() {
    // Under the lock: a waiter that returns may be followed by the task's end.
    const std::lock_guard lock(lock_);
    running_ = false;
    idle_.notify_all();
}
