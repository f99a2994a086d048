#include "net/fetch.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <thread>

#include "core/log.h"
#include "net/curl_handle.h"
#include "net/retry_pause.h"

namespace {

constexpr int fetchAttempts = 3;
// Far above any manifest or script the servers publish; a body that goes on beyond it (a broken
// proxy, an endless answer) fails the attempt before it can take all the memory there is.
constexpr std::size_t largestDocument = std::size_t{16} * 1024 * 1024;

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* buffer) {
    const std::size_t bytes = size * count;
    auto& body = *static_cast<std::string*>(buffer);
    if (bytes > largestDocument - std::min(body.size(), largestDocument)) return 0;
    try {
        body.append(data, bytes);
    } catch (const std::bad_alloc&) {
        return 0;  // no exception may cross libcurl; a short count fails the transfer instead
    }
    return bytes;
}

}  // namespace

FetchedDocument fetchDocument(const std::string& url, std::chrono::milliseconds deadline) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + deadline;
    const auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    };
    FetchedDocument fetched;
    std::string body;
    initCurlOnce();
    for (int attempt = 1; attempt <= fetchAttempts; ++attempt) {
        // A server that many launchers reach at once is not asked again all at the same instant.
        if (attempt > 1) {
            const std::chrono::milliseconds pause = retryPause(attempt - 1);
            if (deadline > deadline.zero() && pause >= left()) break;
            std::this_thread::sleep_for(pause);
        }
        const CurlHandle curl(curl_easy_init());
        if (!curl) {
            logLine("Failed to initialize cURL");
            return fetched;
        }
        CURL* const handle = curl.get();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
        applyTransferLimits(handle);
        if (deadline > deadline.zero()) {
            const long remaining = static_cast<long>(std::max<std::int64_t>(left().count(), 1));
            curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, remaining);
            curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, remaining);
        }

        const CURLcode code = curl_easy_perform(handle);
        fetched.status = 0;
        if (code != CURLE_OK) {
            logLine(std::string("curl_easy_perform() failed: ") + curl_easy_strerror(code));
            body.clear();
            continue;
        }
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        if (status == 200) {
            fetched.status = status;
            fetched.body = std::move(body);
            return fetched;
        }
        logLine("HTTP Error: " + std::to_string(status) + " " + url);
        fetched.status = status;
        body.clear();
    }
    return fetched;
}

std::string fetchUrl(const std::string& url) {
    return fetchDocument(url).body.value_or("");
}
