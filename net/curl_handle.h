// What the two transfers share: libcurl's one-time set-up, handle ownership and common limits.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <memory>

// libcurl's global state, set up once before the first transfer of the process and never torn
// down (other threads may still be transferring when the process ends).
void initCurlOnce();

struct CurlCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlHandle = std::unique_ptr<CURL, CurlCleanup>;

// libcurl waits up to five minutes for a connection by default; a server that does not answer
// must not hold the patch run, or the start, that long.
inline constexpr std::chrono::seconds connectTimeout{10};

// Guards every transfer against hanging for ever: a server that does not accept the connection
// within ten seconds, or a connection that stops delivering for the stall limit, fails the
// attempt, and a redirect loop ends after a fixed number of hops.
void applyTransferLimits(CURL* handle);
