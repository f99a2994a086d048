#include "net/curl_handle.h"

#include <atomic>
#include <mutex>

#include "net/stall_limit.h"

namespace {
std::atomic<int> stallLimit{defaultStallSeconds};
// libcurl's own default from version 8.3 on; older versions follow redirects without end.
constexpr long maximumRedirects = 30;
}  // namespace

void setStallSeconds(int seconds) {
    stallLimit.store(seconds);
}

int stallSeconds() {
    return stallLimit.load();
}

void initCurlOnce() {
    static std::once_flag done;
    std::call_once(done, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

void applyTransferLimits(CURL* handle) {
    // Less than one byte per second over the whole limit counts as a dead connection.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallSeconds()));
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, maximumRedirects);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeout.count()));
}
