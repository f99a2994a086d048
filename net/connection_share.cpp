#include "net/connection_share.h"

#include "net/curl_handle.h"

ConnectionShare::ConnectionShare() {
    initCurlOnce();
    share_ = curl_share_init();
    if (!share_) return;
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &ConnectionShare::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &ConnectionShare::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

// Every transfer has ended by now: its easy handle let go of the share.
ConnectionShare::~ConnectionShare() {
    if (share_) curl_share_cleanup(share_);
}

void ConnectionShare::lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<ConnectionShare*>(self)->locks_[data].lock();
}

void ConnectionShare::unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<ConnectionShare*>(self)->locks_[data].unlock();
}
