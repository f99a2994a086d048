// Throughput of downloadFile against the curl command-line tool, both fetching the same file from
// the same local server in the same run, and the peak memory after small and large downloads.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/patch_progress.h"
#include "net/download.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t mebibyte = 1024 * 1024;

void makeFile(const fs::path& path, std::size_t size) {
    std::ofstream out(path, std::ios::binary);
    std::vector<char> block(mebibyte);
    std::uint32_t state = 12345;
    for (auto& byte : block) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    for (std::size_t written = 0; written < size; written += block.size()) {
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - written)));
    }
}

long peakKilobytes() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

template <class Transfer>
double seconds(Transfer transfer) {
    const auto start = std::chrono::steady_clock::now();
    transfer();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    TempDir folder;
    useUserFolder(folder);  // the download's log lines go to a throw-away folder
    const fs::path files = folder.path() / "files";
    fs::create_directories(files);
    makeFile(files / "small.bin", 16 * mebibyte);
    makeFile(files / "large.bin", 256 * mebibyte);

    HttpServer server;
    server.serveFolder("/files", files);
    const std::string target = folder.file("download.bin");

    downloadFile(server.url("/files/small.bin"), target, "small.bin", "", false);
    const long peakAfterSmall = peakKilobytes();

    const std::string largeUrl = server.url("/files/large.bin");
    const std::string curlCommand = "curl -s -o '" + folder.file("curl.bin") + "' '" + largeUrl + "'";
    const int rounds = 5;
    double bestOwn = 1e9;
    double bestCurl = 1e9;
    for (int round = 0; round < rounds; ++round) {
        bestOwn = std::min(bestOwn, seconds([&] { downloadFile(largeUrl, target, "large.bin", "", false); }));
        bestCurl = std::min(bestCurl, seconds([&] {
                                if (std::system(curlCommand.c_str()) != 0) std::fprintf(stderr, "curl failed\n");
                            }));
    }
    const long peakAfterLarge = peakKilobytes();

    if (fs::file_size(target) != 256 * mebibyte || fs::file_size(folder.file("curl.bin")) != 256 * mebibyte) {
        std::fprintf(stderr, "a download is incomplete\n");
        return 1;
    }
    const double ownRate = 256 / bestOwn;
    const double curlRate = 256 / bestCurl;
    std::printf("256 MiB from a local server, best of %d rounds\n", rounds);
    std::printf("  downloadFile    %8.1f MiB/s  (%.3f s)\n", ownRate, bestOwn);
    std::printf("  curl -s -o      %8.1f MiB/s  (%.3f s)\n", curlRate, bestCurl);
    std::printf("  ratio           %8.2fx curl (target >= 0.90x)\n", ownRate / curlRate);
    std::printf("peak memory (VmHWM, server included)\n");
    std::printf("  after 16 MiB    %8ld KiB\n", peakAfterSmall);
    std::printf("  after 256 MiB   %8ld KiB  (growth %ld KiB)\n", peakAfterLarge, peakAfterLarge - peakAfterSmall);
    std::printf("  last progress   %d %%\n", PatchProgress.fileProgress.load());
    return 0;
}
