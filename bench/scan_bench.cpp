// bench_scan: the installation scan against other ways of reading and checksumming a tree.
//
// Two trees, generated once and reused: about 1.5 GB in ~3,000 files (log-normal sizes, three of
// 200-400 MB, 3-5 folder levels), and 100,000 files of 500 MB together. With both in the page
// cache it times, in one run and in rotating order, `Launcher -h` (the whole program: start,
// scan, manifest, log), rhash, 7z, cksum and cat over every file, and the limit: the scan's own
// parallel walk and reads with no CRC at all. It prints the best of the rounds, the ratios and
// the peak memory of each program.
//
// The launcher's own start (linking the browser libraries, the update check) is timed apart on an
// empty folder; "scan" is hashExistingFiles alone, run by this program, the figure the targets
// are about.
//
// usage: bench_scan [--folder DIR] [--rounds N]
//        bench_scan --read-only ROOT      (the limit; run as a child by the benchmark)
//        bench_scan --scan ROOT USERDIR   (the scan alone; run as a child by the benchmark)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/user_paths.h"
#include "integrity/exclusions.h"
#include "integrity/scan.h"
#include "integrity/thread_pool.h"

namespace fs = std::filesystem;

namespace {

// ---- the limit: the scan's walk and reads without the checksum ------------------------------

constexpr std::align_val_t pageAlignment{4096};

struct AlignedFree {
    void operator()(unsigned char* block) const { ::operator delete(block, pageAlignment); }
};

int readOnly(const std::string& root) {
    std::vector<std::string> files;
    std::map<std::string, int> folders;
    listFiles(root, files, folders);
    std::atomic<std::uint64_t> total{0};
    {
        ThreadPool pool(std::thread::hardware_concurrency());
        for (const std::string& relative : files) {
            pool.enqueue([&relative, &root, &total] {
                constexpr std::size_t blockSize = 1 << 20;
                thread_local std::unique_ptr<unsigned char, AlignedFree> block(
                    static_cast<unsigned char*>(::operator new(blockSize, pageAlignment)));
                std::FILE* file = std::fopen((root + relative).c_str(), "rb");
                if (!file) return;
                std::setvbuf(file, nullptr, _IONBF, 0);
                std::uint64_t bytes = 0;
                for (;;) {
                    const std::size_t got = std::fread(block.get(), 1, blockSize, file);
                    bytes += got;
                    if (got < blockSize) break;
                }
                std::fclose(file);
                total += bytes;
            });
        }
    }
    std::printf("%zu files, %llu bytes\n", files.size(),
                static_cast<unsigned long long>(total.load()));
    return 0;
}

int scanOnly(const std::string& root, const std::string& userDirectory) {
    setUserPaths(userDirectory);
    fs::create_directories(userFolder.get());
    openLog();
    hashExistingFiles(root, excludedCount, scanLock);
    return scannedFiles.empty() ? 1 : 0;
}

// ---- the trees --------------------------------------------------------------------------------

void writeRandomFile(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::vector<std::uint64_t> chunk(1 << 17);  // 1 MiB
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    while (size > 0) {
        for (auto& word : chunk) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        const std::size_t bytes = static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 20));
        std::fwrite(chunk.data(), 1, bytes, file);
        size -= bytes;
    }
    std::fclose(file);
}

// Folders 3-5 levels deep (and their parents), so files land at every depth.
std::vector<fs::path> makeFolders(std::mt19937_64& random, int leaves) {
    std::vector<fs::path> folders{""};
    for (int i = 0; i < leaves; ++i) {
        const int depth = 3 + static_cast<int>(random() % 3);
        fs::path folder;
        for (int level = 0; level < depth; ++level) {
            folder /=
                (level == 0 ? "Area" : "Sub") + std::to_string(random() % (level == 0 ? 6 : 4));
            folders.push_back(folder);
        }
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    return folders;
}

struct TreeShape {
    const char* name;
    int files;
    double meanBytes;  // of the log-normal part
    double sigma;
    std::uint64_t maxBytes;
    std::vector<std::uint64_t> bigFiles;
    int leafFolders;
};

fs::path ensureTree(const fs::path& base, const TreeShape& shape) {
    const fs::path tree = base / shape.name;
    const fs::path done = base / (std::string(shape.name) + ".done");
    if (fs::exists(done)) return tree;
    std::printf("generating %s ...\n", tree.c_str());
    std::fflush(stdout);
    fs::remove_all(tree);
    std::mt19937_64 random(42);
    const auto folders = makeFolders(random, shape.leafFolders);
    for (const auto& folder : folders) fs::create_directories(tree / folder);
    std::lognormal_distribution<double> sizes(
        std::log(shape.meanBytes) - shape.sigma * shape.sigma / 2, shape.sigma);
    std::uint64_t total = 0;
    for (int i = 0; i < shape.files; ++i) {
        std::uint64_t size;
        if (static_cast<std::size_t>(i) < shape.bigFiles.size()) {
            size = shape.bigFiles[i];
        } else {
            size =
                std::min<std::uint64_t>(static_cast<std::uint64_t>(sizes(random)), shape.maxBytes);
        }
        const fs::path& folder = folders[random() % folders.size()];
        writeRandomFile(tree / folder / ("file" + std::to_string(i) + ".dat"), size,
                        static_cast<std::uint64_t>(i));
        total += size;
    }
    std::FILE* marker = std::fopen(done.c_str(), "w");
    if (marker) std::fclose(marker);
    std::printf("  %d files, %.2f GB\n", shape.files, static_cast<double>(total) / 1e9);
    return tree;
}

// ---- timing -----------------------------------------------------------------------------------

struct Run {
    double seconds;
    long peakKilobytes;
    int status;
};

// Runs a shell command in `folder`; wall time and the peak resident memory of the processes.
Run runIn(const fs::path& folder, const std::string& command) {
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
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return {seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

struct Contender {
    std::string name;
    std::string command;
    Run best{1e9, 0, 0};
};

void benchTree(const fs::path& tree, const fs::path& work, const std::string& self, int rounds) {
    const fs::path home = work / "home";
    const fs::path bin = work / "bin";
    fs::create_directories(bin);
    // The launcher opens the manifest with xdg-open; here it opens nothing.
    if (std::FILE* stub = std::fopen((bin / "xdg-open").c_str(), "w")) {
        std::fputs("#!/bin/sh\nexit 0\n", stub);
        std::fclose(stub);
    }
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);

    const std::string launcher = "exec env -u XDG_DOCUMENTS_DIR HOME='" + home.string() +
                                 "' XDG_CONFIG_HOME='" + (home / ".config").string() + "' PATH='" +
                                 bin.string() + "':\"$PATH\" '" + ORV_LAUNCHER_PATH +
                                 "' -h >/dev/null 2>&1";
    const fs::path empty = work / "empty";
    fs::create_directories(empty);
    Run startOnly{1e9, 0, 0};
    for (int round = 0; round < rounds; ++round)
        startOnly.seconds = std::min(startOnly.seconds, runIn(empty, launcher).seconds);

    std::vector<Contender> contenders = {
        {"scan", "exec '" + self + "' --scan ./ '" + (work / "scan-user").string() + "'"},
        {"no-CRC limit", "exec '" + self + "' --read-only ./ >/dev/null"},
        {"Launcher -h", launcher},
        {"rhash --crc32", "exec rhash -r --crc32 . >/dev/null"},
        {"7z h -scrcCRC32", "exec 7z h -scrcCRC32 -r . >/dev/null"},
        {"cksum", "find . -type f -print0 | xargs -0 cksum >/dev/null"},
        {"cat > /dev/null", "find . -type f -print0 | xargs -0 cat >/dev/null"},
    };

    // Warm the page cache (and the programs) once before anything is timed.
    for (auto& contender : contenders) runIn(tree, contender.command);

    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < contenders.size(); ++i) {
            auto& contender = contenders[(i + static_cast<std::size_t>(round)) % contenders.size()];
            const Run run = runIn(tree, contender.command);
            if (run.status != 0)
                std::printf("  %s exited with %d\n", contender.name.c_str(), run.status);
            if (run.seconds < contender.best.seconds) contender.best = run;
        }
    }

    const double scan = contenders[0].best.seconds;
    const double limit = contenders[1].best.seconds;
    std::printf("%-18s %9s %10s %14s\n", "", "seconds", "x scan", "peak memory");
    for (const auto& contender : contenders) {
        std::printf("%-18s %9.3f %10.2f %11.1f MB\n", contender.name.c_str(),
                    contender.best.seconds, contender.best.seconds / scan,
                    static_cast<double>(contender.best.peakKilobytes) / 1024.0);
    }
    std::printf("scan / no-CRC limit: %.2f\n", scan / limit);
    std::printf(
        "Launcher -h start-up alone (empty folder): %.3f s; Launcher -h less start-up: "
        "%.3f s\n\n",
        startOnly.seconds, contenders[2].best.seconds - startOnly.seconds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--read-only") return readOnly(argv[2]);
    if (argc == 4 && std::string(argv[1]) == "--scan") return scanOnly(argv[2], argv[3]);

    fs::path base = fs::temp_directory_path() / "orv-bench-scan";
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--folder")
            base = argv[i + 1];
        else if (option == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    const std::string self = fs::canonical("/proc/self/exe").string();
    fs::create_directories(base);
    std::printf("%u logical processors\n", std::thread::hardware_concurrency());

    const TreeShape large{
        "large", 3000, 200e3, 1.6, 64ull << 20, {220ull << 20, 300ull << 20, 380ull << 20}, 120};
    const TreeShape many{"many", 100000, 5000, 1.2, 1ull << 20, {}, 600};
    const fs::path largeTree = ensureTree(base, large);
    const fs::path manyTree = ensureTree(base, many);

    const fs::path work = base / "work";
    std::printf("== %s: ~3,000 files, ~1.5 GB ==\n", largeTree.c_str());
    benchTree(largeTree, work, self, rounds);
    std::printf("== %s: 100,000 files, ~500 MB ==\n", manyTree.c_str());
    benchTree(manyTree, work, self, rounds);
    return 0;
}
