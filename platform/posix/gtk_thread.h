// GTK may only be used from one thread: the one that runs its main loop (GLib's default main
// context). Boxes are raised from any thread, pool workers included, so their GTK work is handed
// to that thread and the caller waits for the result.
#pragma once

namespace platform {

// Runs job(data) where GTK may be used and returns its result. When another thread runs the main
// loop, the job is queued on it and this thread waits; when none does (start-up before the
// window, the -h mode), the job runs on this thread, which owns the loop meanwhile. A job queued
// on a loop that ends before reaching it runs here once the loop is free.
int runOnGtkThread(int (*job)(void*), void* data);

}  // namespace platform
