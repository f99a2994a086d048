// Connections that the transfers of one update keep open between its files: a file after the
// first costs no new connection, as with any HTTP/1.1 keep-alive client. libcurl keeps a live
// connection in the easy handle that made it, and an easy handle serves one thread at a time, so
// the pool hands out whole handles: each transfer borrows one, and returns it when it went well.
// It lives as long as the update; transfers made without one open a connection each.
#pragma once

#include <mutex>
#include <vector>

#include "net/curl_handle.h"

class ConnectionPool {
public:
    ConnectionPool() = default;
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    // An idle handle with its connection, or a new one; empty when libcurl cannot make one.
    CurlHandle take();
    // A handle whose last transfer ended well, for the next file to reuse its connection. A
    // handle that failed is dropped instead, so the next attempt starts on a fresh connection.
    void giveBack(CurlHandle handle);

private:
    std::mutex lock_;
    std::vector<CurlHandle> idle_;
};
