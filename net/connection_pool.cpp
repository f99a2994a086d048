#include "net/connection_pool.h"

#include <utility>

CurlHandle ConnectionPool::take() {
    {
        const std::lock_guard lock(lock_);
        if (!idle_.empty()) {
            CurlHandle handle = std::move(idle_.back());
            idle_.pop_back();
            // Options go back to their defaults; the connection, DNS and TLS caches stay.
            curl_easy_reset(handle.get());
            return handle;
        }
    }
    initCurlOnce();
    return CurlHandle(curl_easy_init());
}

void ConnectionPool::giveBack(CurlHandle handle) {
    if (!handle) return;
    const std::lock_guard lock(lock_);
    idle_.push_back(std::move(handle));
}
