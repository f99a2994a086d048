// bench_scan: the installation scan against other ways of reading and checksumming a tree.
//
// Two trees, generated once and reused: about 1.5 GB in ~3,000 files (log-normal sizes, three of
// 200-400 MB, 3-5 folder levels), and 100,000 files of 500 MB together. With both in the page
// cache it times, in one run and in rotating order, `Launcher -h` (the whole program: start,
// scan, manifest, log), rhash, 7z, cksum and cat over every file, and the limit: the scan's own
// parallel walk and reads with no CRC at all. It prints the best of the rounds, the ratios and
// the peak memory of each program.
//
// The launcher's own start (the libraries it loads, the update check) is timed apart on an empty
// folder; "scan" is hashExistingFiles alone, run by this program, the figure the targets are
// about. With --peer, another build of Launcher (an earlier commit's) is measured in the same run
// beside this one: -h start-up and peak memory, and, under an Xvfb of its own, the time from the
// start to the window being mapped and to the first page having loaded. The window figures serve
// the page from the launcher's own ports 47810 and 47811: run as
// `flock /tmp/orv-ports.lock bench_scan ...` when others may use them.
//
// usage: bench_scan [--folder DIR] [--rounds N] [--peer LAUNCHER] [--launcher-only]
//        bench_scan --cold [--folder DIR] [--rounds N] [--peer-scan BENCH_SCAN]
//        bench_scan --read-only ROOT      (the limit; run as a child by the benchmark)
//        bench_scan --scan ROOT USERDIR [full|incremental]
//                                         (the scan alone; run as a child by the benchmark)
//
// --launcher-only skips the ~1.5 GB tree and the other programs: the launcher's figures alone.
// --cold times the scans with the page cache dropped before each run (as root), beside cat and
// four cats in parallel: a full scan, and the first scan of a patch run with and without the
// records the last start kept; then the full scan warm. --peer-scan names a bench_scan built from
// an earlier commit, whose scan is measured beside this one's as today's. Medians of at least 3.
#include <X11/Xlib.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

#include "bench/peer.h"
#include "bench/scan_bench.h"
#include "core/log.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "integrity/exclusions.h"
#include "integrity/scan.h"
#include "integrity/scan_feed.h"
#include "launcher/version.h"

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
    // The scan's own feed and readers; the workers read on but check nothing.
    const ScanSteps steps{
        [&](std::size_t index, bool) { return std::optional(openToHash(root + files[index])); },
        [&](std::size_t, FileBeingHashed& hashing) {
            constexpr std::size_t blockSize = 1 << 20;
            thread_local std::unique_ptr<unsigned char, AlignedFree> block(
                static_cast<unsigned char*>(::operator new(blockSize, pageAlignment)));
            readFirstBlock(hashing);
            std::uint64_t bytes = hashing.firstBytes;
            if (hashing.firstBytes == blockSize) {
                for (;;) {
                    const std::size_t got =
                        std::fread(block.get(), 1, blockSize, hashing.file.get());
                    bytes += got;
                    if (got < blockSize) break;
                }
            }
            total += bytes;
        }};
    runScanFeed(files.size(), steps, std::thread::hardware_concurrency(), scanReaders);
    std::printf("%zu files, %llu bytes\n", files.size(),
                static_cast<unsigned long long>(total.load()));
    return 0;
}

int scanOnly(const std::string& root, const std::string& userDirectory, const std::string& mode) {
    setUserPaths(userDirectory);
    fs::create_directories(userFolder.get());
    openLog();
    hashExistingFiles(root, excludedCount, scanLock,
                      mode == "incremental" ? ScanMode::Incremental : ScanMode::Full);
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

}  // namespace

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

// Waits for a child started at `started`: its wall time, peak resident memory and exit status.
Run waitFor(pid_t child, std::chrono::steady_clock::time_point started) {
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return {seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// Runs a shell command in `folder`; wall time and the peak resident memory of the processes.
Run runIn(const fs::path& folder, const std::string& command) {
    std::fflush(stdout);
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return waitFor(child, started);
}

namespace {

struct Contender {
    std::string name;
    std::string command;
    Run best{1e9, 0, 0};
};

// The builds of Launcher being compared: this one, and the --peer if given.
struct Build {
    std::string name;
    std::string program;
};

// Launcher -h as a player's terminal would start it, with no display (so the closing box goes to
// standard error instead of waiting for a click) and an xdg-open that opens nothing.
std::string hashCommand(const fs::path& work, const Build& build) {
    const fs::path home = work / "home";
    const fs::path bin = work / "bin";
    fs::create_directories(bin);
    if (std::FILE* stub = std::fopen((bin / "xdg-open").c_str(), "w")) {
        std::fputs("#!/bin/sh\nexit 0\n", stub);
        std::fclose(stub);
    }
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    return "exec env -u XDG_DOCUMENTS_DIR -u DISPLAY -u WAYLAND_DISPLAY HOME='" + home.string() +
           "' XDG_CONFIG_HOME='" + (home / ".config").string() + "' PATH='" + bin.string() +
           "':\"$PATH\" '" + build.program + "' -h >/dev/null 2>&1";
}

double megabytes(long kilobytes) {
    return static_cast<double>(kilobytes) / 1024.0;
}

void benchTree(const fs::path& tree, const fs::path& work, const std::string& self, int rounds,
               const std::vector<Build>& builds, bool launcherOnly) {
    std::vector<Contender> contenders = {
        {"scan", "exec '" + self + "' --scan ./ '" + (work / "scan-user").string() + "'"},
        {"no-CRC limit", "exec '" + self + "' --read-only ./ >/dev/null"},
    };
    for (const Build& build : builds)
        contenders.push_back({"Launcher -h" + build.name, hashCommand(work, build)});
    if (!launcherOnly) {
        if (peerPresent("rhash"))
            contenders.push_back({"rhash --crc32", "exec rhash -r --crc32 . >/dev/null"});
        if (peerPresent("7z"))
            contenders.push_back({"7z h -scrcCRC32", "exec 7z h -scrcCRC32 -r . >/dev/null"});
        contenders.insert(
            contenders.end(),
            {
                {"cksum", "find . -type f -print0 | xargs -0 cksum >/dev/null"},
                {"cat > /dev/null", "find . -type f -print0 | xargs -0 cat >/dev/null"},
            });
    }

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
    std::printf("%-24s %9s %10s %14s\n", "", "seconds", "x scan", "peak memory");
    for (const auto& contender : contenders) {
        std::printf("%-24s %9.3f %10.2f %11.1f MB\n", contender.name.c_str(),
                    contender.best.seconds, contender.best.seconds / scan,
                    megabytes(contender.best.peakKilobytes));
    }
    std::printf("scan / no-CRC limit: %.2f\n", scan / limit);
    std::printf("Launcher -h peak memory: %.1f MB (target < 40 MB)\n\n",
                megabytes(contenders[2].best.peakKilobytes));
    std::fflush(stdout);
}

// ---- the launcher's start without a tree ----------------------------------------------------

// Launcher -h started straight from here, in the environment hashCommand sets up: a shell and
// env in between would cost about as much as the start being measured.
Run runHashDirect(const fs::path& folder, const fs::path& work, const Build& build) {
    hashCommand(work, build);  // the xdg-open stand-in
    const fs::path home = work / "home";
    const std::string path = (work / "bin").string() + ":" + std::getenv("PATH");
    std::fflush(stdout);
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        for (const char* name : {"XDG_DOCUMENTS_DIR", "DISPLAY", "WAYLAND_DISPLAY"}) unsetenv(name);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        setenv("PATH", path.c_str(), 1);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
        execl(build.program.c_str(), build.program.c_str(), "-h", static_cast<char*>(nullptr));
        _exit(127);
    }
    return waitFor(child, started);
}

void benchStart(const fs::path& work, const std::vector<Build>& builds, int rounds) {
    const fs::path empty = work / "empty";
    fs::create_directories(empty);
    std::vector<Run> best(builds.size(), Run{1e9, 0, 0});
    for (std::size_t i = 0; i < builds.size(); ++i) runHashDirect(empty, work, builds[i]);
    // Alternating, so that both see the same machine.
    for (int round = 0; round < rounds * 5; ++round) {
        for (std::size_t i = 0; i < builds.size(); ++i) {
            const Run run = runHashDirect(empty, work, builds[i]);
            if (run.status != 0)
                std::printf("  %s exited with %d\n", builds[i].name.c_str(), run.status);
            if (run.seconds < best[i].seconds) best[i] = run;
        }
    }
    std::printf("== Launcher -h on an empty folder (best of %d, started directly) ==\n",
                rounds * 5);
    for (std::size_t i = 0; i < builds.size(); ++i) {
        std::printf("Launcher -h%-12s start-up %7.4f s   peak memory %6.1f MB\n",
                    builds[i].name.c_str(), best[i].seconds, megabytes(best[i].peakKilobytes));
    }
    if (builds.size() > 1)
        std::printf("start-up now / today: %.2f; memory now / today: %.2f\n",
                    best[0].seconds / best[1].seconds,
                    static_cast<double>(best[0].peakKilobytes) / best[1].peakKilobytes);
    std::printf("(targets: start-up <= 0.010 s)\n\n");
    std::fflush(stdout);
}

// ---- the window -------------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;

// The two servers the launcher is built for, reduced to what opening the window needs: the
// version file (naming this launcher's version, so no update question comes up) and a patcher
// page whose script calls back once it runs.
class PageServer {
public:
    PageServer() {
        for (int port : {47810, 47811}) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            const int yes = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                listen(fd, 16) != 0) {
                close(fd);
                return;
            }
            listeners_.push_back(fd);
        }
        if (pipe(stop_) != 0) return;
        thread_ = std::thread([this] { serve(); });
    }
    ~PageServer() {
        if (thread_.joinable()) {
            if (write(stop_[1], "x", 1) != 1) std::perror("pipe");
            thread_.join();
            close(stop_[0]);
            close(stop_[1]);
        }
        for (int fd : listeners_) close(fd);
    }
    bool ok() const { return thread_.joinable(); }
    void reset() { loadedAt_ = 0; }
    // When the page's script called back, nothing before.
    std::optional<Clock::time_point> loaded() const {
        const auto at = loadedAt_.load();
        if (at == 0) return std::nullopt;
        return Clock::time_point(Clock::duration(at));
    }

private:
    void serve() {
        std::vector<pollfd> fds;
        for (int fd : listeners_) fds.push_back({fd, POLLIN, 0});
        fds.push_back({stop_[0], POLLIN, 0});
        for (;;) {
            if (poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds.back().revents) return;
            for (std::size_t i = 0; i + 1 < fds.size(); ++i)
                if (fds[i].revents) answer(accept(fds[i].fd, nullptr, nullptr));
        }
    }
    void answer(int connection) {
        if (connection < 0) return;
        std::string request;
        char buffer[4096];
        pollfd wait{connection, POLLIN, 0};
        while (request.find("\r\n\r\n") == std::string::npos && poll(&wait, 1, 2000) > 0) {
            const ssize_t got = read(connection, buffer, sizeof buffer);
            if (got <= 0) break;
            request.append(buffer, static_cast<std::size_t>(got));
        }
        const std::string target = request.substr(0, request.find('\r'));
        std::string status = "404 Not Found", body;
        if (target.starts_with("GET /version.ini ")) {
            status = "200 OK";
            body =
                "[CurrentVersion]\nVersion = 1.0\n[Launcher]\nVersion = " + LauncherVersion + "\n";
        } else if (target.starts_with("GET /patcher")) {
            status = "200 OK";
            body = "<!doctype html><title>ORV</title><body>ORV<script>fetch('/loaded')</script>";
        } else if (target.starts_with("GET /loaded ")) {
            loadedAt_ = Clock::now().time_since_epoch().count();
            status = "204 No Content";
        }
        const std::string response =
            "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n" + body;
        if (write(connection, response.data(), response.size()) < 0) std::perror("write");
        close(connection);
    }

    std::vector<int> listeners_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<Clock::rep> loadedAt_{0};
};

struct WindowTimes {
    double mapped = 0, loaded = 0;
};

// Starts the launcher on the display and times its window's map and its first page; nothing
// when either does not happen within 30 s. The launcher and its browser processes end after.
std::optional<WindowTimes> openWindowOnce(Display* display, const std::string& displayName,
                                          const Build& build, const fs::path& home,
                                          const fs::path& folder, PageServer& pages) {
    pages.reset();
    std::fflush(stdout);
    const Clock::time_point started = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        if (chdir(folder.c_str()) != 0) _exit(127);
        setenv("DISPLAY", displayName.c_str(), 1);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
        unsetenv("XDG_DOCUMENTS_DIR");
        unsetenv("WAYLAND_DISPLAY");
        freopen("/dev/null", "w", stdout);
        freopen("/dev/null", "w", stderr);
        execl(build.program.c_str(), build.program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(child, child);
    std::optional<double> mapped;
    const auto seconds = [&](Clock::time_point at) {
        return std::chrono::duration<double>(at - started).count();
    };
    pollfd x{ConnectionNumber(display), POLLIN, 0};
    while (Clock::now() - started < std::chrono::seconds(30) && !(mapped && pages.loaded())) {
        poll(&x, 1, 5);
        while (XPending(display)) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != MapNotify || mapped) continue;
            char* name = nullptr;
            if (XFetchName(display, event.xmap.window, &name) && name) {
                if (std::string(name) == ">ORV< Launcher") mapped = seconds(Clock::now());
                XFree(name);
            }
        }
    }
    kill(-child, SIGKILL);
    waitpid(child, nullptr, 0);
    if (!mapped || !pages.loaded()) return std::nullopt;
    return WindowTimes{*mapped, seconds(*pages.loaded())};
}

void benchWindow(const fs::path& work, const std::vector<Build>& builds, int rounds) {
    std::printf(
        "== the window under Xvfb: start to window mapped, start to first page loaded ==\n");
    PageServer pages;
    if (!pages.ok()) {
        std::printf(
            "skipped: ports 47810/47811 are in use (run under flock /tmp/orv-ports.lock)\n\n");
        return;
    }
    const std::string displayName = ":" + std::to_string(150 + getpid() % 50);
    std::fflush(stdout);
    const pid_t xvfb = fork();
    if (xvfb == 0) {
        freopen("/dev/null", "w", stderr);
        execlp("Xvfb", "Xvfb", displayName.c_str(), "-screen", "0", "1280x800x24", "-nolisten",
               "tcp", static_cast<char*>(nullptr));
        _exit(127);
    }
    Display* display = nullptr;
    for (int attempt = 0; attempt < 100 && !display; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        display = XOpenDisplay(displayName.c_str());
    }
    if (!display) {
        std::printf("skipped: Xvfb did not start\n\n");
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
        return;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);

    const fs::path folder = work / "window-install";
    fs::create_directories(folder);
    std::vector<std::vector<WindowTimes>> times(builds.size());
    // One round unmeasured: the page cache, and the browser's own cache in each home.
    for (int round = -1; round < rounds * 2; ++round) {
        for (std::size_t i = 0; i < builds.size(); ++i) {
            const fs::path home = work / ("window-home" + std::to_string(i));
            const auto run = openWindowOnce(display, displayName, builds[i], home, folder, pages);
            if (!run)
                std::printf("  %s: no window or no page within 30 s\n", builds[i].name.c_str());
            if (run && round >= 0) times[i].push_back(*run);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }
    XCloseDisplay(display);
    kill(xvfb, SIGTERM);
    waitpid(xvfb, nullptr, 0);

    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values.empty() ? 0.0 : values[values.size() / 2];
    };
    std::vector<double> mappedMedian, loadedMedian;
    for (std::size_t i = 0; i < builds.size(); ++i) {
        std::vector<double> mapped, loaded;
        for (const auto& run : times[i]) {
            mapped.push_back(run.mapped);
            loaded.push_back(run.loaded);
        }
        mappedMedian.push_back(median(mapped));
        loadedMedian.push_back(median(loaded));
        std::printf(
            "Launcher%-12s window mapped %6.3f s (best %6.3f)   page loaded %6.3f s (best %6.3f)"
            "   [median of %zu]\n",
            builds[i].name.c_str(), mappedMedian[i],
            mapped.empty() ? 0.0 : *std::min_element(mapped.begin(), mapped.end()), loadedMedian[i],
            loaded.empty() ? 0.0 : *std::min_element(loaded.begin(), loaded.end()), mapped.size());
    }
    if (builds.size() > 1 && mappedMedian[1] > 0 && loadedMedian[1] > 0)
        std::printf("window mapped now / today: %.2f; page loaded now / today: %.2f\n",
                    mappedMedian[0] / mappedMedian[1], loadedMedian[0] / loadedMedian[1]);
    std::printf("(target: the window opens as fast as today)\n\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--read-only") return readOnly(argv[2]);
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "--scan")
        return scanOnly(argv[2], argv[3], argc == 5 ? argv[4] : "full");

    fs::path base = fs::temp_directory_path() / "orv-bench-scan";
    int rounds = 3;
    bool launcherOnly = false;
    bool cold = false;
    std::string peerScan;
    std::vector<Build> builds{{"", ORV_LAUNCHER_PATH}};
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--launcher-only") {
            launcherOnly = true;
        } else if (option == "--cold") {
            cold = true;
        } else if (option == "--peer-scan" && hasValue) {
            peerScan = fs::absolute(argv[++i]).string();
        } else if (option == "--folder" && hasValue) {
            base = argv[++i];
        } else if (option == "--rounds" && hasValue) {
            rounds = std::max(1, std::atoi(argv[++i]));
        } else if (option == "--peer" && hasValue) {
            builds.push_back({" (today)", fs::absolute(argv[++i]).string()});
        } else {
            std::fprintf(stderr, "unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (builds.size() > 1) builds[0].name = " (now)";
    const std::string self = fs::canonical("/proc/self/exe").string();
    fs::create_directories(base);
    std::printf("%u logical processors\n", std::thread::hardware_concurrency());
    for (const Build& build : builds)
        std::printf("Launcher%s: %s\n", build.name.c_str(), build.program.c_str());

    const fs::path work = base / "work";
    if (cold) return benchCold(base, work, self, peerScan, rounds);
    benchStart(work, builds, rounds);
    benchWindow(work, builds, rounds);

    if (!launcherOnly) {
        const fs::path largeTree = ensureTree(base, largeShape);
        std::printf("== %s: ~3,000 files, ~1.5 GB ==\n", largeTree.c_str());
        benchTree(largeTree, work, self, rounds, builds, launcherOnly);
    }
    const fs::path manyTree = ensureTree(base, manyShape);
    std::printf("== %s: 100,000 files, ~500 MB ==\n", manyTree.c_str());
    benchTree(manyTree, work, self, rounds, builds, launcherOnly);
    return 0;
}
