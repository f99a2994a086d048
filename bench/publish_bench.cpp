// orv-publish full against zip -r (and bsdtar, when there) on the same generated tree in the same
// run: wall time, processor time, archive size and peak memory of each, each archive synced to
// the disk. The tree is the stand-in game's files, with its sound and movies as incompressible
// media. orv-publish deflates on every processor; where the scheduler gives each session one
// share of a busy machine (autogroups), that shows in the processor time rather than the wall
// time.
// usage: bench_publish [--files N] [--size-mb N]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench/peer.h"
#include "testdata/game_content.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct Run {
    double seconds = 0;
    double cpuSeconds = 0;  // user and system, of every thread
    long peakKilobytes = 0;
    int status = -1;
};

// A shell command in `folder`: wall time, and the peak resident memory of its processes.
Run runIn(const fs::path& folder, const std::string& command) {
    std::fflush(stdout);
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const auto cpu = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
            cpu(usage.ru_utime) + cpu(usage.ru_stime), usage.ru_maxrss,
            WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

bool isMedia(const std::string& path) {
    return path.ends_with(".ogg") || path.ends_with(".bik") || path.ends_with(".wav");
}

std::uint64_t makeTree(const fs::path& root, int files, std::uint64_t bytes) {
    std::uint64_t total = 0;
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (const auto& spec : testdata::baseGameFiles(3, files, bytes)) {
        const fs::path path = root / "Astrovance" / spec.path;
        fs::create_directories(path.parent_path());
        std::ofstream out(path, std::ios::binary);
        std::string piece;
        testdata::ContentStream content(spec, 3, 0, false);
        while (content.next(piece)) {
            if (isMedia(spec.path)) {
                for (char& byte : piece) {
                    state = state * 6364136223846793005ull + 1442695040888963407ull;
                    byte = static_cast<char>(state >> 56);
                }
            }
            out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        }
        total += spec.size;
    }
    return total;
}

std::uint64_t sizeOf(const fs::path& file) {
    std::error_code error;
    const auto size = fs::file_size(file, error);
    return error ? 0 : size;
}

void show(const char* name, const Run& run, std::uint64_t archive, std::uint64_t input) {
    std::printf(
        "  %-22s %7.2f s (cpu %6.2f s) %6.1f MB/s  archive %7.1f MB (%4.1f%%)  peak %6.1f MB%s\n",
        name, run.seconds, run.cpuSeconds, static_cast<double>(input) / 1e6 / run.seconds,
        static_cast<double>(archive) / 1e6,
        100.0 * static_cast<double>(archive) / static_cast<double>(input),
        static_cast<double>(run.peakKilobytes) / 1024.0, run.status == 0 ? "" : "  (FAILED)");
}

}  // namespace

int main(int argc, char** argv) {
    int files = 3000;
    double sizeMb = 1536;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--files") files = std::atoi(argv[i + 1]);
        if (option == "--size-mb") sizeMb = std::atof(argv[i + 1]);
    }
    TempDir folder;
    const fs::path tree = folder.path() / "tree";
    const std::uint64_t input =
        makeTree(tree, files, static_cast<std::uint64_t>(sizeMb * 1024 * 1024));
    std::printf("full update of %d files, %.2f GB (sound and movies incompressible), %u cores\n",
                files, static_cast<double>(input) / 1e9, std::thread::hardware_concurrency());

    const Run publish = runIn(tree, std::string("exec '") + ORV_PUBLISH_PATH +
                                        "' full --tree . --version 1.0 ../root >/dev/null");
    const fs::path ours = folder.path() / "root" / "full" / "1.0" / "ORV.zip";
    show("orv-publish full", publish, sizeOf(ours), input);
    const Run check =
        runIn(tree, std::string("exec '") + ORV_PUBLISH_PATH + "' check ../root >/dev/null");
    std::printf("  %-22s %7.2f s  (reads and checks every entry; %s)\n", "orv-publish check",
                check.seconds, check.status == 0 ? "no errors" : "ERRORS");

    int failures = publish.status != 0 || check.status != 0;
    struct Peer {
        const char* program;
        const char* name;
        const char* command;
    };
    for (const Peer& peer :
         {Peer{"zip", "zip -r (level 6)",
               "zip -r -q -X ../peer.zip Astrovance && sync ../peer.zip"},
          Peer{"bsdtar", "bsdtar --format zip",
               "bsdtar --format zip -cf ../peer.zip Astrovance && sync ../peer.zip"}}) {
        if (!peerPresent(peer.program)) continue;
        fs::remove(folder.path() / "peer.zip");
        const Run run = runIn(tree, peer.command);
        show(peer.name, run, sizeOf(folder.path() / "peer.zip"), input);
        failures += run.status != 0;
        if (run.status == 0 && publish.status == 0)
            std::printf(
                "  %-22s %.2fx %s's speed, %.2fx its processor time, %.2fx its archive size, "
                "%.2fx its peak memory\n",
                "orv-publish:", run.seconds / publish.seconds, peer.program,
                publish.cpuSeconds / run.cpuSeconds,
                static_cast<double>(sizeOf(ours)) /
                    static_cast<double>(sizeOf(folder.path() / "peer.zip")),
                static_cast<double>(publish.peakKilobytes) /
                    static_cast<double>(run.peakKilobytes));
    }
    return failures == 0 ? 0 : 1;
}
