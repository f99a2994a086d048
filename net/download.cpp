#include "net/download.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "integrity/checksum.h"
#include "net/curl_handle.h"
#include "net/download_progress.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr int downloadAttempts = 10;
constexpr long receiveBufferSize = 512L * 1024;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(file));
}

int reportProgress(void* data, curl_off_t expected, curl_off_t received, curl_off_t uploadExpected,
                   curl_off_t uploadSent) {
    return publishDownloadProgress(data, expected, received, uploadExpected, uploadSent);
}

// The path as the log shows it: the installation root (".\" or "./") joined with "/" is dropped.
std::string shownName(std::string path) {
    static const std::string rootJoint = std::string(".") + platform::pathSeparator + "/";
    for (auto at = path.find(rootJoint); at != std::string::npos; at = path.find(rootJoint, at)) {
        path.erase(at, rootJoint.size());
    }
    return path;
}

// True when a non-empty local copy carries the expected checksum; a differing copy is deleted.
bool localCopyIsCurrent(const std::string& localPath, const std::string& expectedChecksum) {
    const fs::path path = toPath(localPath);
    if (!fs::is_regular_file(path) || fs::file_size(path) == 0) return false;
    if (formatChecksum(hashFile(localPath)) == expectedChecksum) {
        logLine("Local file is up to date. No need to download.");
        return true;
    }
    logLine("Local file hash mismatch. Deleting file to download fresh copy.");
    std::remove(localPath.c_str());
    return false;
}

[[noreturn]] void giveUp() {
    platform::messageBox(
        "Connection lost!. Please check your internet connection and restart the launcher.",
        "Download Failed", platform::MessageKind::Error);
    platform::terminateProcess(0);
}

}  // namespace

void downloadFile(const std::string& url, const std::string& localPath,
                  const std::string& displayName, const std::string& expectedChecksum,
                  bool noProgress) {
    PatchProgress.downloadName.set(toWide(displayName));
    const std::string name = shownName(localPath);
    if (name == "ORV.zip") {
        PatchProgress.downloadName.set(toWide(name));
        PatchProgress.fileName.set(toWide(name));
    }
    logLine("Patched: " + name);
    initCurlOnce();

    for (int failures = 0;;) {
        const CurlHandle curl(curl_easy_init());
        if (!curl) {
            logLine("Failed to initialize cURL");
            return;
        }
        const fs::path parent = toPath(localPath).parent_path();
        if (!parent.empty() && !fs::exists(parent)) fs::create_directories(parent);
        if (localCopyIsCurrent(localPath, expectedChecksum)) return;

        FileHandle file(std::fopen(localPath.c_str(), "wb"));
        if (!file) {
            logLine("Failed to open file for writing: " + localPath);
            return;
        }
        CURL* const handle = curl.get();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, file.get());
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, noProgress ? 1L : 0L);
        if (!noProgress) curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, reportProgress);
        applyTransferLimits(handle);
        // libcurl's default 16 KiB receive buffer costs one write call per 16 KiB on large
        // archives; a larger one keeps the download on a par with the curl tool.
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receiveBufferSize);

        CURLcode code = curl_easy_perform(handle);
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        // The last buffered bytes reach the disk only here: a failed close is a failed write.
        if (std::fclose(file.release()) != 0 && code == CURLE_OK) code = CURLE_WRITE_ERROR;

        if (code == CURLE_OK && status == 200) {
            logLine("Download complete and file saved.");
            return;
        }
        logLine(std::string("Failed to download file. CURL error: ") + curl_easy_strerror(code) +
                ", HTTP code: " + std::to_string(status));
        std::remove(localPath.c_str());
        if (++failures == downloadAttempts) giveUp();
    }
}
