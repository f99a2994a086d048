// What the two transfers share: libcurl's one-time set-up, handle ownership and common limits.
#pragma once

#include <curl/curl.h>

#include <memory>

// libcurl's global state, set up once before the first transfer of the process and never torn
// down (other threads may still be transferring when the process ends).
void initCurlOnce();

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

// Guards every transfer against hanging for ever: a connection that stops delivering fails after
// the stall limit, and a redirect loop ends after a fixed number of hops.
void applyTransferLimits(CURL* handle);
