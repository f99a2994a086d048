// A per-file update of many small files over a link with a long round trip: the local test
// server waits one round trip before serving each new connection and each request. Measured in
// the same run against the same server:
//  - updateFilesFromWeb as built (connections kept open, a few transfers at a time);
//  - the files one after the other on a new connection each, as updates fetched them before;
//  - wget -i with the same URL list (one after the other over one kept-open connection).
// usage: bench_round_trip [--files N] [--size-kb N] [--round-trip-ms N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/peer.h"
#include "core/text.h"
#include "integrity/checksum.h"
#include "integrity/scan.h"
#include "net/download.h"
#include "patch/updates.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string fileBytes(int number, std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 977u * static_cast<std::uint32_t>(number) + 1;
    for (auto& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 2000;
    std::size_t sizeKb = 20;
    int roundTripMs = 50;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--files") files = std::atoi(argv[i + 1]);
        if (option == "--size-kb") sizeKb = static_cast<std::size_t>(std::atoi(argv[i + 1]));
        if (option == "--round-trip-ms") roundTripMs = std::atoi(argv[i + 1]);
    }

    TempDir folder;
    useUserFolder(folder);
    const fs::path server = folder.path() / "server" / "update";
    std::string manifest, urls;
    HttpServer http;
    http.serveFolder("/u", folder.path() / "server");
    for (int n = 0; n < files; ++n) {
        const std::string name =
            "Data/part" + std::to_string(n / 100) + "/file" + std::to_string(n) + ".dat";
        const std::string bytes = fileBytes(n, sizeKb * 1024);
        writeFile(server / name, bytes);
        manifest +=
            name + " = " + formatChecksum(continueChecksum(0, bytes.data(), bytes.size())) + "\n";
        urls += http.url("/u/update/" + name) + "\n";
    }
    writeFile(server / "files.ini", manifest);
    writeFile(folder.path() / "urls.txt", urls);
    http.addRoundTrip(std::chrono::milliseconds(roundTripMs));
    std::printf("%d files of %zu KiB, %d ms round trip\n", files, sizeKb, roundTripMs);

    // As built: from an empty installation, every file needed.
    const fs::path built = folder.path() / "built";
    fs::create_directories(built);
    fs::current_path(built);
    scannedFiles.clear();
    auto start = std::chrono::steady_clock::now();
    const bool complete = updateFilesFromWeb(http.url("/u/update/files.ini"), installationRoot);
    const double builtSeconds = secondsSince(start);
    std::size_t arrived = 0;
    for (const auto& entry : fs::recursive_directory_iterator(built / "Astrovance"))
        arrived += entry.is_regular_file();

    // Before: one file after the other, each on a connection of its own.
    const fs::path before = folder.path() / "before";
    start = std::chrono::steady_clock::now();
    for (int n = 0; n < files; ++n) {
        const std::string name =
            "Data/part" + std::to_string(n / 100) + "/file" + std::to_string(n) + ".dat";
        downloadFile(http.url("/u/update/" + name), pathText(before / toPath(name)), name, "",
                     false);
    }
    const double beforeSeconds = secondsSince(start);

    // wget, one after the other over a kept-open connection.
    const fs::path wgetFolder = folder.path() / "wget";
    fs::create_directories(wgetFolder);
    const std::string wget = "wget -q -nv -x -nH -P '" + wgetFolder.string() + "' -i '" +
                             (folder.path() / "urls.txt").string() + "'";
    start = std::chrono::steady_clock::now();
    const bool peer = peerPresent("wget");
    const int wgetStatus = peer ? std::system(wget.c_str()) : -1;
    const double wgetSeconds = secondsSince(start);

    std::printf("  updateFilesFromWeb as built        %8.2f s  (%zu of %d files, %s)\n",
                builtSeconds, arrived, files, complete ? "complete" : "INCOMPLETE");
    std::printf("  one by one, a connection each      %8.2f s  (%.2fx the time as built)\n",
                beforeSeconds, beforeSeconds / builtSeconds);
    if (wgetStatus == 0) {
        std::printf(
            "  wget -i, one kept-open connection  %8.2f s  (as built: %.2fx wget's speed; "
            "target > 1)\n",
            wgetSeconds, wgetSeconds / builtSeconds);
    } else if (peer) {
        std::printf("  wget -i failed (status %d): is wget installed?\n", wgetStatus);
    }
    fs::current_path(folder.path());
    return complete && arrived == static_cast<std::size_t>(files) ? 0 : 1;
}
