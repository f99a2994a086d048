#include "platform/posix/gtk_thread.h"

#include <glib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace platform {
namespace {

struct Handoff {
    int (*job)(void*);
    void* data;
    std::mutex lock;
    std::condition_variable changed;
    enum { Queued, Running, Done, Withdrawn } state = Queued;
    int result = 0;
};

gboolean runQueued(gpointer queued) {
    Handoff& handoff = **static_cast<std::shared_ptr<Handoff>*>(queued);
    {
        const std::lock_guard lock(handoff.lock);
        // The caller took the job back: its data may be gone.
        if (handoff.state == Handoff::Withdrawn) return G_SOURCE_REMOVE;
        handoff.state = Handoff::Running;
    }
    const int result = handoff.job(handoff.data);
    {
        const std::lock_guard lock(handoff.lock);
        handoff.result = result;
        handoff.state = Handoff::Done;
    }
    handoff.changed.notify_all();
    return G_SOURCE_REMOVE;
}

// Runs the job on this thread if no other thread owns the main context; false when one does.
bool runHere(GMainContext* context, int (*job)(void*), void* data, int& result) {
    if (!g_main_context_acquire(context)) return false;
    result = job(data);
    g_main_context_release(context);
    return true;
}

}  // namespace

int runOnGtkThread(int (*job)(void*), void* data) {
    GMainContext* const context = g_main_context_default();
    int result = 0;
    if (runHere(context, job, data, result)) return result;

    auto handoff = std::make_shared<Handoff>();
    handoff->job = job;
    handoff->data = data;
    // The queued source keeps its own reference: it may outlive this call when withdrawn.
    g_main_context_invoke_full(
        context, G_PRIORITY_DEFAULT, runQueued, new std::shared_ptr<Handoff>(handoff),
        [](gpointer queued) { delete static_cast<std::shared_ptr<Handoff>*>(queued); });

    std::unique_lock lock(handoff->lock);
    for (;;) {
        if (handoff->changed.wait_for(lock, std::chrono::milliseconds(100),
                                      [&] { return handoff->state == Handoff::Done; }))
            return handoff->result;
        // The loop may have ended without reaching the job; then the context is free.
        if (handoff->state != Handoff::Queued || !g_main_context_acquire(context)) continue;
        handoff->state = Handoff::Withdrawn;
        lock.unlock();
        result = job(data);
        g_main_context_release(context);
        return result;
    }
}

}  // namespace platform
