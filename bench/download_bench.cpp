// Transfers, measured against peers in the same run:
//  - downloadFile (received beside the file, checked as it arrives, renamed into place) against a
//    plain transfer written straight into the file, as downloads were made before, and against the
//    curl command-line tool; all fetch the same file from the same local server;
//  - the bytes an archive download cut off twice costs, resumed against started over;
//  - the peak memory after small and large downloads.
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/peer.h"
#include "core/patch_progress.h"
#include "integrity/checksum.h"
#include "net/download.h"
#include "net/retry_pause.h"
#include "platform/platform.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t mebibyte = 1024 * 1024;

std::string makeBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

void makeFile(const fs::path& path, std::size_t size) {
    const std::string block = makeBytes(mebibyte);
    std::ofstream out(path, std::ios::binary);
    for (std::size_t written = 0; written < size; written += block.size())
        out.write(block.data(),
                  static_cast<std::streamsize>(std::min(block.size(), size - written)));
}

long peakKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::size_t writeToFile(char* data, std::size_t size, std::size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(file));
}

// The download as it was made before: straight into the target, truncated at every attempt, with
// the same connection settings and receive buffer. True once an attempt got the whole body.
bool directDownload(const std::string& url, const std::string& target, int attempts) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        CURL* handle = curl_easy_init();
        std::FILE* file = std::fopen(target.c_str(), "wb");
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeToFile);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, file);
        curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 512L * 1024);
        const CURLcode code = curl_easy_perform(handle);
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        const bool closed = std::fclose(file) == 0;
        curl_easy_cleanup(handle);
        if (code == CURLE_OK && status == 200 && closed) return true;
    }
    return false;
}

}  // namespace

int main() {
    TempDir folder;
    useUserFolder(folder);  // the download's log lines go to a throw-away folder
    setRetryPauseUnit(std::chrono::milliseconds(1));
    curl_global_init(CURL_GLOBAL_ALL);
    const fs::path files = folder.path() / "files";
    fs::create_directories(files);
    makeFile(files / "small.bin", 16 * mebibyte);
    makeFile(files / "large.bin", 256 * mebibyte);
    const std::string largeSum = formatChecksum(hashFile((files / "large.bin").string()));

    HttpServer server;
    server.serveFolder("/files", files);
    const std::string target = folder.file("download.bin");

    downloadFile(server.url("/files/small.bin"), target, "small.bin", "", false);
    const long peakAfterSmall = peakKilobytes();

    // Each round replaces the file of the round before: the local copy never matches.
    const std::string largeUrl = server.url("/files/large.bin");
    const std::string curlCommand =
        "curl -s -o '" + folder.file("curl.bin") + "' '" + largeUrl + "'";
    // Timed twice: until the call returns, and until the file's data is on the disk. A rename over
    // a file makes ext4 write the new data there and then, which a file written in place leaves
    // to the kernel for later; the second figure counts that writing for every peer.
    const int rounds = 5;
    const bool peer = peerPresent("curl");
    double bestOwn = 1e9, bestDirect = 1e9, bestCurl = 1e9;
    double syncedOwn = 1e9, syncedDirect = 1e9, syncedCurl = 1e9;
    const auto timed = [&](double& best, double& synced, const std::string& file, auto transfer) {
        std::system("sync");
        const auto start = std::chrono::steady_clock::now();
        const auto since = [&] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        transfer();
        best = std::min(best, since());
        platform::flushFileToDisk(file);
        synced = std::min(synced, since());
    };
    for (int round = 0; round < rounds; ++round) {
        writeFile(target, "an older file");
        timed(bestOwn, syncedOwn, target,
              [&] { downloadFile(largeUrl, target, "large.bin", largeSum, false); });
        timed(bestDirect, syncedDirect, folder.file("direct.bin"),
              [&] { directDownload(largeUrl, folder.file("direct.bin"), 1); });
        if (peer)
            timed(bestCurl, syncedCurl, folder.file("curl.bin"), [&] {
                if (std::system(curlCommand.c_str()) != 0) std::fprintf(stderr, "curl failed\n");
            });
    }
    const long peakAfterLarge = peakKilobytes();
    for (const char* name : {"download.bin", "direct.bin", "curl.bin"}) {
        if (!peer && name == std::string("curl.bin")) continue;
        if (fs::file_size(folder.file(name)) != 256 * mebibyte) {
            std::fprintf(stderr, "%s is incomplete\n", name);
            return 1;
        }
    }

    // An archive cut at 60 % and again at 80 % of its bytes, then delivered whole.
    const std::size_t archiveSize = 500 * mebibyte;
    std::string archive = makeBytes(archiveSize);
    const std::string archiveSum =
        formatChecksum(continueChecksum(0, archive.data(), archive.size()));
    const auto cutTwice = [&] {
        return std::vector<HttpAnswer>{cutAfter(archive, archiveSize * 6 / 10),
                                       cutAfter(archive, archiveSize * 8 / 10),
                                       answer(200, archive)};
    };
    HttpServer resuming, startingOver;
    resuming.script("/ORV.zip", cutTwice());
    startingOver.script("/ORV.zip", cutTwice());
    archive.clear();
    archive.shrink_to_fit();
    const bool resumed =
        downloadFile(resuming.url("/ORV.zip"), folder.file("ORV.zip"), "", archiveSum, false);
    const bool restarted =
        directDownload(startingOver.url("/ORV.zip"), folder.file("direct.zip"), 10);
    if (!resumed || !restarted || formatChecksum(hashFile(folder.file("ORV.zip"))) != archiveSum) {
        std::fprintf(stderr, "the cut archive did not arrive whole\n");
        return 1;
    }

    std::printf(
        "256 MiB from a local server, best of %d rounds: MiB/s until the call returns, "
        "and until the data is on the disk\n",
        rounds);
    std::printf("  downloadFile (staged, checked) %8.1f  %8.1f\n", 256 / bestOwn, 256 / syncedOwn);
    std::printf("  written straight into the file %8.1f  %8.1f\n", 256 / bestDirect,
                256 / syncedDirect);
    if (peer)
        std::printf("  curl -s -o                     %8.1f  %8.1f\n", 256 / bestCurl,
                    256 / syncedCurl);
    std::printf("  ratio to the direct write      %8.2fx %8.2fx (target >= 0.90x)\n",
                bestDirect / bestOwn, syncedDirect / syncedOwn);
    if (peer)
        std::printf("  ratio to curl                  %8.2fx %8.2fx\n", bestCurl / bestOwn,
                    syncedCurl / syncedOwn);
    std::printf("500 MiB archive cut at 60 %% and at 80 %%: bytes sent by the server\n");
    std::printf("  downloadFile, resumed          %8.2fx the archive (target <= 1.10x)\n",
                static_cast<double>(resuming.bodyBytesSent()) / archiveSize);
    std::printf("  started over at every attempt  %8.2fx the archive\n",
                static_cast<double>(startingOver.bodyBytesSent()) / archiveSize);
    std::printf("peak memory (VmHWM, server included)\n");
    std::printf("  after 16 MiB    %8ld KiB\n", peakAfterSmall);
    std::printf("  after 256 MiB   %8ld KiB  (growth %ld KiB)\n", peakAfterLarge,
                peakAfterLarge - peakAfterSmall);
    std::printf("  last progress   %d %%\n", PatchProgress.fileProgress.load());
    return 0;
}
