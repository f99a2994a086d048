// Connections that the transfers of one update keep open and share between its files and
// threads: a file after the first costs no new connection, as with any HTTP/1.1 keep-alive
// client. It lives as long as the update; transfers made without one open a connection each.
#pragma once

#include <curl/curl.h>

#include <mutex>

class ConnectionShare {
public:
    ConnectionShare();
    ~ConnectionShare();
    ConnectionShare(const ConnectionShare&) = delete;
    ConnectionShare& operator=(const ConnectionShare&) = delete;

    // Nothing when libcurl could not make one: the transfers then connect each on their own.
    CURLSH* handle() const { return share_; }

private:
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self);
    static void unlock(CURL*, curl_lock_data data, void* self);

    CURLSH* share_ = nullptr;
    // libcurl asks for one lock per kind of shared data; transfers on several threads use them.
    std::mutex locks_[CURL_LOCK_DATA_LAST];
};
