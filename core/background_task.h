// Work that the UI thread hands to a thread of its own and looks in on later, never waiting for it:
// a server that takes its time must not freeze the window or hold up the player's "close".
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>

class BackgroundTask {
public:
    // Starts `work` on a new thread unless a run of this task is still going (false then, and
    // nothing starts). An exception that leaves `work` is logged; the task is idle again after.
    bool start(std::function<void()> work);
    bool running() const;
    // Until no run is going: for threads that may wait, never the UI thread.
    void waitIdle() const;

private:
    void finish();

    mutable std::mutex lock_;
    mutable std::condition_variable idle_;
    bool running_ = false;
};
