#include "net/download.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "core/disk_space.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/staged_file.h"
#include "core/text.h"
#include "integrity/checksum.h"
#include "net/connection_pool.h"
#include "net/curl_handle.h"
#include "net/download_progress.h"
#include "net/retry_pause.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr int downloadAttempts = 10;
// Whole answers that cannot be the file (wrong bytes, a refusal): more of them gain nothing.
constexpr int answersWithoutFile = 3;
constexpr long receiveBufferSize = 512L * 1024;
// How much of a download is written to the disk at a time while it arrives.
constexpr std::uint64_t writebackStep = std::uint64_t{8} << 20;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// One call of downloadFile: what it was asked for, and what the staging file holds so far,
// carried from one attempt to the next.
struct Download {
    const std::string& url;
    const std::string& localPath;
    const std::string& expectedChecksum;
    bool noProgress;
    ConnectionPool* connections;
    ContentCheck* check;
    std::string shown;                        // the path as the log shows it
    std::u16string progressName;              // the name on the page's file line
    std::string staged;                       // the staging file's path
    std::uint64_t size = 0;                   // bytes received and kept in it
    std::uint32_t crc = 0;                    // of those bytes
    std::chrono::milliseconds retryAfter{0};  // the last answer's Retry-After, if any
    SpaceWatch space;                         // of the staging file's volume

    // Each line goes out when it happens; beside other downloads it names its file.
    void log(const std::string& line) const {
        logLine(connections && line.find(shown) == std::string::npos ? line + " (" + shown + ")"
                                                                     : line);
    }
    void startOver() {
        size = 0;
        crc = 0;
        if (check) check->restart();
    }
};

// One attempt, as libcurl's callbacks see it.
struct Attempt {
    CURL* handle;
    Download& download;
    std::uint64_t askedFrom;  // the Range asked for: the bytes already kept
    FileHandle file;
    std::optional<std::uint64_t> rangeStart;  // of the last response's Content-Range
    bool decided = false;                     // where the body goes is settled
    bool keep = false;                        // the body belongs to the file
    bool rangeRefused = false;                // a partial answer that does not continue ours
    bool diskFull = false;                    // stopped at the disk's reserve, or refused
};

// Settles, at the first byte of a body (or at the end of one without any), where the body goes.
// False when the attempt must stop.
bool decide(Attempt& attempt) {
    attempt.decided = true;
    long status = 0;
    curl_easy_getinfo(attempt.handle, CURLINFO_RESPONSE_CODE, &status);
    if (status == 206) {
        // Only the remaining bytes continue the file; any other part would corrupt the join.
        attempt.keep = attempt.askedFrom > 0 && attempt.rangeStart == attempt.askedFrom;
        attempt.rangeRefused = !attempt.keep;
        return attempt.keep;
    }
    if (status == 200) {
        // The whole file again (the server ignores Range, or nothing was asked): start over.
        if (attempt.askedFrom > 0) {
            attempt.file.reset();
            attempt.file.reset(openStaged(attempt.download.staged));
            attempt.download.startOver();
            if (!attempt.file) return false;
        }
        attempt.keep = true;
    }
    // Error pages are read to the end and dropped: what was kept stays for the next attempt.
    return true;
}

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* context) {
    auto& attempt = *static_cast<Attempt*>(context);
    const std::size_t bytes = size * count;
    if (!attempt.decided && !decide(attempt)) return 0;
    if (!attempt.keep) return bytes;
    Download& download = attempt.download;
    if (!download.space.allows(download.size + bytes)) {
        attempt.diskFull = true;
        return 0;
    }
    const std::size_t written = std::fwrite(data, 1, bytes, attempt.file.get());
    // A write the disk refuses (full, over a quota) is no lost connection: no retry mends it.
    if (written != bytes) attempt.diskFull = diskFilledUp = true;
    download.crc = continueChecksum(download.crc, data, written);
    if (download.check) download.check->add(data, written);
    const std::uint64_t before = download.size;
    download.size += written;
    if (before / writebackStep != download.size / writebackStep)
        platform::startWriteback(attempt.file.get(), before / writebackStep * writebackStep);
    return written;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           });
}

// Notes where a partial answer starts: "Content-Range: bytes <first>-<last>/<size>".
std::size_t readHeader(char* data, std::size_t size, std::size_t count, void* context) {
    auto& attempt = *static_cast<Attempt*>(context);
    const std::string_view line(data, size * count);
    if (startsWithNoCase(line, "HTTP/")) {
        attempt.rangeStart.reset();  // a new response (after a redirect) starts afresh
    } else if (startsWithNoCase(line, "Content-Range:")) {
        const auto bytesAt = line.find("bytes");
        if (bytesAt != std::string_view::npos) {
            std::uint64_t first = 0;
            std::size_t at = bytesAt + 5;
            while (at < line.size() && line[at] == ' ') ++at;
            const std::size_t digits = at;
            for (; at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])); ++at)
                first = first * 10 + static_cast<std::uint64_t>(line[at] - '0');
            if (at > digits && at < line.size() && line[at] == '-') attempt.rangeStart = first;
        }
    }
    return size * count;
}

// A resumed transfer reports the remaining bytes; the page shows the whole file.
int reportProgress(void* context, curl_off_t expected, curl_off_t received, curl_off_t,
                   curl_off_t) {
    const auto& attempt = *static_cast<const Attempt*>(context);
    const bool resumed = attempt.keep && attempt.askedFrom > 0 && attempt.rangeStart;
    const auto offset = resumed ? static_cast<curl_off_t>(attempt.askedFrom) : 0;
    return publishDownloadProgress(&attempt.download, attempt.download.progressName,
                                   expected > 0 ? expected + offset : expected, received + offset);
}

// The path as the log shows it: the installation root (".\" or "./") joined with "/" is dropped.
std::string shownName(std::string path) {
    static const std::string rootJoint = std::string(".") + platform::pathSeparator + "/";
    for (auto at = path.find(rootJoint); at != std::string::npos; at = path.find(rootJoint, at)) {
        path.erase(at, rootJoint.size());
    }
    return path;
}

// True when a non-empty local copy carries the expected checksum. A differing copy stays where
// it is until its replacement has arrived.
bool localCopyIsCurrent(Download& download) {
    std::error_code error;
    const fs::path path = toPath(download.localPath);
    if (!fs::is_regular_file(path, error) || fs::file_size(path, error) == 0 || error) return false;
    if (formatChecksum(hashFile(download.localPath)) == download.expectedChecksum) {
        download.log("Local file is up to date. No need to download.");
        return true;
    }
    download.log("Local file hash mismatch. Deleting file to download fresh copy.");
    return false;
}

// The staged bytes through the check, and their checksum, in one read.
std::uint32_t feedCheck(Download& download) {
    download.check->restart();
    std::uint32_t crc = 0;
    const FileHandle file(std::fopen(download.staged.c_str(), "rb"));
    if (!file) return 0;
    std::vector<char> buffer(1 << 20);
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0;) {
        crc = continueChecksum(crc, buffer.data(), got);
        download.check->add(buffer.data(), got);
    }
    return crc;
}

// Takes up what an earlier launcher received of this file, if it can be checked at the end:
// without a checksum nothing proves that old bytes and new ones belong together.
void takeUpLeftOver(Download& download) {
    std::error_code error;
    // Only a plain file of our own is taken up; a link planted at the name is removed unfollowed.
    const bool plain = fs::is_regular_file(fs::symlink_status(toPath(download.staged), error));
    const auto size = plain ? fs::file_size(toPath(download.staged), error) : 0;
    if (!plain || error || size == 0 || download.expectedChecksum.empty()) {
        discardStaged(download.staged);
        return;
    }
    download.size = size;
    download.crc = download.check ? feedCheck(download) : hashFile(download.staged);
}

// Transfers that lose the connection together tell the player once: the first shows the box and
// ends the process, the others wait for that.
[[noreturn]] void giveUp() {
    static std::atomic<bool> told{false};
    if (!told.exchange(true)) {
        platform::messageBox(
            "Connection lost!. Please check your internet connection and restart the launcher.",
            "Download Failed", platform::MessageKind::Error);
        platform::terminateProcess(0);
    }
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// A server that answers with one of these has the file, or not, whatever the next attempt does:
// the file is missing or forbidden there. A timeout (408), a refused range (416) and "too many
// requests" (429) pass.
bool refusesFile(long status) {
    return status >= 400 && status < 500 && status != 408 && status != 416 && status != 429;
}

enum class Result { Received, Failed, Refused, NoHandle, CannotWrite, DiskFull };

Result transferOnce(Download& download) {
    // Beside other files of an update, a handle of the pool, with its open connection.
    CurlHandle curl =
        download.connections ? download.connections->take() : CurlHandle(curl_easy_init());
    if (!curl) return Result::NoHandle;
    CURL* const handle = curl.get();
    Attempt attempt{handle, download, download.size, nullptr, std::nullopt};
    if (download.size > 0) attempt.file.reset(openStaged(download.staged, true));
    if (!attempt.file) {
        // What was kept is gone or no longer a plain file: start afresh.
        download.startOver();
        attempt.askedFrom = 0;
        attempt.file.reset(openStaged(download.staged));
    }
    if (!attempt.file) return Result::CannotWrite;
    if (download.size > 0)
        download.log("Resuming download at byte " + std::to_string(download.size));

    curl_easy_setopt(handle, CURLOPT_URL, download.url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &attempt);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, readHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &attempt);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    if (!download.connections) {
        curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
    }
    // A plain Range header, not libcurl's resume: a server that answers with the whole file
    // must start the file over, not fail the attempt.
    const std::string range = std::to_string(download.size) + "-";
    if (download.size > 0) curl_easy_setopt(handle, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, download.noProgress ? 1L : 0L);
    if (!download.noProgress) {
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, reportProgress);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &attempt);
    }
    applyTransferLimits(handle);
    // libcurl's default 16 KiB receive buffer costs one write call per 16 KiB on large
    // archives; a larger one keeps the download on a par with the curl tool.
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receiveBufferSize);

    CURLcode code = curl_easy_perform(handle);
    // An empty body never reached writeBody.
    if (code == CURLE_OK && !attempt.decided && !decide(attempt)) code = CURLE_WRITE_ERROR;
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t retryAfter = 0;
    if (curl_easy_getinfo(handle, CURLINFO_RETRY_AFTER, &retryAfter) != CURLE_OK) retryAfter = 0;
    download.retryAfter = std::chrono::seconds(retryAfter);
    // The last buffered bytes reach the disk only here: a failed close is a failed write.
    if (attempt.file && std::fclose(attempt.file.release()) != 0 && code == CURLE_OK)
        code = CURLE_WRITE_ERROR;

    if (attempt.diskFull) return Result::DiskFull;
    const bool whole = code == CURLE_OK && attempt.keep && (status == 200 || status == 206);
    // Only a handle whose transfer went well keeps its connection for the next file.
    if (whole && download.connections) download.connections->giveBack(std::move(curl));
    if (whole) return Result::Received;
    download.log(std::string("Failed to download file. CURL error: ") + curl_easy_strerror(code) +
                 ", HTTP code: " + std::to_string(status));
    // The server cannot continue what we have: the next attempt starts from the beginning.
    if (attempt.rangeRefused || status == 416) download.startOver();
    return code == CURLE_OK && refusesFile(status) ? Result::Refused : Result::Failed;
}

// The pause before the next attempt: the server's Retry-After when it fits in the usual span of
// pauses, else the next of the growing ones.
std::chrono::milliseconds pauseBefore(int failures, Download& download,
                                      std::chrono::milliseconds waited) {
    const std::chrono::milliseconds asked = std::exchange(download.retryAfter, {});
    if (asked <= std::chrono::milliseconds::zero()) return retryPause(failures);
    const auto seconds = std::to_string(std::chrono::ceil<std::chrono::seconds>(asked).count());
    if (const auto pause = pauseAskedFor(asked, waited)) {
        download.log("The server asked to wait " + seconds + " s before the next attempt");
        return *pause;
    }
    download.log("The server asked to wait " + seconds +
                 " s, longer than the attempts last: trying again sooner");
    return retryPause(failures);
}

// The attempts until the file is in place (true), cannot be (false), or the tenth lost
// connection ends the process.
bool receive(Download& download, OnMismatch onMismatch) {
    if (download.check) download.check->restart();
    takeUpLeftOver(download);
    std::chrono::milliseconds waited{0};
    for (int failures = 0, unusable = 0;;) {
        // A transfer that ended early but whole (a killed launcher) needs no further byte.
        const bool complete =
            download.size > 0 && formatChecksum(download.crc) == download.expectedChecksum;
        const Result result = complete ? Result::Received : transferOnce(download);
        if (result == Result::NoHandle) {
            download.log("Failed to initialize cURL");
            return false;
        }
        if (result == Result::DiskFull) {
            download.log(std::string("Download stopped: ") + diskFullText + " for " +
                         download.shown + " (the launcher leaves " +
                         std::to_string(diskReserve.load() >> 20) + " MiB free)");
            discardStaged(download.staged);
            return false;
        }
        if (result == Result::CannotWrite) {
            download.log("Failed to open file for writing: " + download.localPath);
            discardStaged(download.staged);
            return false;
        }
        if (result == Result::Received) {
            const std::string received = formatChecksum(download.crc);
            if (download.expectedChecksum.empty() || received == download.expectedChecksum) {
                if (download.check && !download.check->accepted()) {
                    download.startOver();
                    discardStaged(download.staged);
                    return false;
                }
                std::error_code error;
                if (!replaceWithStaged(download.staged, download.localPath, error)) {
                    download.log("Failed to replace " + download.localPath + ": " +
                                 error.message());
                    discardStaged(download.staged);
                    return false;
                }
                download.log("Download complete and file saved.");
                return true;
            }
            download.log("Download refused: checksum " + received + " instead of " +
                         download.expectedChecksum + " for " + download.shown);
            download.startOver();
            discardStaged(download.staged);
            // The server sends what it has, whole: the file it lists is not the file it keeps.
            if (onMismatch == OnMismatch::Refuse || ++unusable == answersWithoutFile) {
                download.log("Download given up: the server's file does not match its checksum");
                return false;
            }
        } else if (result == Result::Refused && ++unusable == answersWithoutFile) {
            download.log("Download given up: the server does not give out the file");
            discardStaged(download.staged);
            return false;
        }
        // Bytes that cannot be checked at the end are not worth keeping for a resume; what
        // arrived of a checked file stays for the next start to resume.
        if (download.size == 0 || download.expectedChecksum.empty()) {
            download.startOver();
            discardStaged(download.staged);
        }
        if (result == Result::Failed && ++failures == downloadAttempts) giveUp();
        const std::chrono::milliseconds pause = pauseBefore(failures + unusable, download, waited);
        waited += pause;
        std::this_thread::sleep_for(pause);
    }
}

}  // namespace

bool downloadFile(const std::string& url, const std::string& localPath,
                  const std::string& displayName, const std::string& expectedChecksum,
                  bool noProgress, OnMismatch onMismatch, ConnectionPool* connections,
                  ContentCheck* check) {
    Download download{url,
                      localPath,
                      expectedChecksum,
                      noProgress,
                      connections,
                      check,
                      shownName(localPath),
                      toWide(displayName),
                      stagingPath(localPath),
                      0,
                      0,
                      {},
                      SpaceWatch(pathText(toPath(localPath).parent_path()))};
    PatchProgress.downloadName.set(download.progressName);
    if (download.shown == "ORV.zip") {
        download.progressName = toWide(download.shown);
        PatchProgress.downloadName.set(download.progressName);
    }
    if (!noProgress) announceDownload(&download, download.progressName);
    // Whichever way the call ends (an error from the file system included), the page's file line
    // is free again.
    struct Finish {
        Download& download;
        ~Finish() { releaseDownloadProgress(&download); }
    } finish{download};
    download.log("Patched: " + download.shown);
    initCurlOnce();

    bool inPlace = false;
    const fs::path target = toPath(localPath);
    const fs::path parent = target.parent_path();
    std::error_code error;
    if (!parent.empty() && !fs::exists(parent)) fs::create_directories(parent);
    if (!check && localCopyIsCurrent(download)) {
        inPlace = true;
    } else if (fs::exists(target, error) && !fs::is_regular_file(target, error)) {
        download.log("Failed to open file for writing: " + localPath);
    } else {
        inPlace = receive(download, onMismatch);
    }
    return inPlace;
}
