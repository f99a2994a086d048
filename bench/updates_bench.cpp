// bench_updates: figures for the two updates.
//
//   1. The check phase of an "inc" update whose every file is current, for a manifest and a scan
//      of 2,000 and of 20,000 files: with an index the time grows linearly (ratio about 10).
//   2. A first installation from a full archive of 3,000 entries and about 1 GB, against
//      `bsdtar -xf` of the same archive, both into fresh folders with the archive in the page
//      cache.
//   3. The scans of a patch run of ten "inc" updates of 20 files each over an installation of
//      3,000 files and 1.5 GB: every scan full, against the first full and the later ones
//      incremental. The page cache is dropped before each run where this process may (as root),
//      and the runs are repeated warm. The loop is the patch run's own (scan, then the update);
//      runPatch itself is timed once more as a whole, to show it takes the incremental way.
//
// usage: bench_updates [--files N] [--size-mb N] [--rounds N] [--skip-check] [--skip-archive]
//                      [--skip-run] [--run-files N] [--run-size-mb N]
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "bench/peer.h"
#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "integrity/exclusions.h"
#include "integrity/scan.h"
#include "patch/patch_run.h"
#include "patch/updates.h"
#include "patch/version_file.h"
#include "testdata/game_content.h"
#include "testdata/make_install.h"

namespace fs = std::filesystem;

namespace {

double secondsOf(const std::function<void()>& work) {
    const auto started = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// Serves the files of a folder on a free loopback port while it lives.
class FolderServer {
public:
    explicit FolderServer(const fs::path& folder) {
        server_.set_mount_point("/", folder.string());
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~FolderServer() {
        server_.stop();
        thread_.join();
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
};

// Runs `work` with `folder` as the working folder (the installation root).
void inFolder(const fs::path& folder, const std::function<void()>& work) {
    const fs::path previous = fs::current_path();
    fs::current_path(folder);
    work();
    fs::current_path(previous);
}

double checkPhaseSeconds(const fs::path& base, int files) {
    const fs::path install = base / ("check-" + std::to_string(files));
    const fs::path server = base / ("check-server-" + std::to_string(files));
    fs::create_directories(install);
    fs::create_directories(server);
    // A scan of the whole game folder, and a manifest that agrees with it on every file.
    scannedFiles.clear();
    std::string manifest;
    const std::string separator(1, platform::pathSeparator);
    for (int i = 0; i < files; ++i) {
        const std::string folder = "Folder " + std::to_string(i / 100);
        const std::string name = "file_" + std::to_string(i) + ".dat";
        const auto checksum = static_cast<std::uint32_t>(i * 2654435761u);
        scannedFiles.push_back(
            {name, checksum,
             "Astrovance" + separator + "Data" + separator + folder + separator + name});
        // The server writes Windows paths.
        manifest += "Data\\" + folder + "\\" + name + " = " + formatChecksum(checksum) + "\n";
    }
    // The scan lists in walk order, not manifest order.
    std::shuffle(scannedFiles.begin(), scannedFiles.end(), std::mt19937(7));
    std::ofstream(server / "files.ini", std::ios::binary) << manifest;

    FolderServer http(server);
    double seconds = 0;
    inFolder(install, [&] {
        seconds = secondsOf([&] { updateFilesFromWeb(http.url("/files.ini"), installationRoot); });
    });
    if (!fs::is_empty(install)) std::fprintf(stderr, "check phase wrote files: not all current\n");
    return seconds;
}

void warmUp(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()))) {
    }
}

// ---- 3. the scans of a patch run -----------------------------------------------------------

// Drops the page cache; false when this process may not.
bool dropCaches() {
    ::sync();
    std::ofstream control("/proc/sys/vm/drop_caches");
    control << "3\n";
    control.flush();
    return static_cast<bool>(control);
}

long cachedMegabytes() {
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    long kilobytes = 0;
    while (meminfo >> key >> kilobytes) {
        if (key == "Cached:") return kilobytes / 1024;
        meminfo.ignore(1 << 10, '\n');
    }
    return -1;
}

struct PatchRunSetup {
    fs::path install;
    fs::path server;
    fs::path originals;                        // the files the updates replace, as installed
    std::vector<std::string> touched;          // paths below the game folder, '/' between
    std::vector<std::string> manifests;        // per update, below the server
    std::map<std::string, std::string> final;  // manifest path -> checksum after the last update
    std::uint64_t bytes = 0;
};

PatchRunSetup makePatchRunSetup(const fs::path& base, int files, double sizeMb, int updateCount,
                                int filesPerUpdate) {
    testdata::InstallOptions options;
    options.installDir = base / "run-install";
    options.serverDir = base / "run-server";
    options.files = files - 1;  // and the executable
    options.sizeMb = sizeMb;
    options.scripts = false;
    std::printf("making an installation of %d files, %.0f MiB ...\n", files, sizeMb);
    std::fflush(stdout);
    const testdata::MadeInstall made = testdata::makeInstall(options);
    // Neither archive takes part; they only take room.
    fs::remove(options.installDir / "ORV.zip");
    fs::remove(options.serverDir / "updates" / made.fullVersion / "ORV.zip");

    PatchRunSetup setup;
    setup.install = options.installDir;
    setup.server = options.serverDir;
    setup.originals = base / "run-originals";
    std::map<std::string, testdata::GameFileSpec> baseFiles;
    const auto dataBytes = static_cast<std::uint64_t>(sizeMb * 1024 * 1024);
    for (const auto& file : testdata::baseGameFiles(options.seed, options.files, dataBytes))
        baseFiles[file.path] = file;
    for (const auto& file : made.fullFiles) setup.bytes += file.size;

    std::mt19937 random(18);
    std::string versionFile;
    std::string last;
    std::string piece;
    std::set<std::string> touched;
    for (int update = 1; update <= updateCount; ++update) {
        char version[16];
        std::snprintf(version, sizeof version, "1.1.%02d", update);
        const fs::path folder = setup.server / "updates" / version;
        std::map<std::string, std::string> manifest;
        while (static_cast<int>(manifest.size()) < filesPerUpdate) {
            const testdata::GameFile& file = made.fullFiles[random() % made.fullFiles.size()];
            const std::string key = testdata::backslashed(file.path);
            if (manifest.contains(key)) continue;
            // New bytes of the same size: what a size check alone would miss.
            fs::create_directories((folder / file.path).parent_path());
            {
                std::ofstream out(folder / file.path, std::ios::binary);
                testdata::ContentStream content(baseFiles.at(file.path), options.seed, update + 1,
                                                options.runnableExe);
                while (content.next(piece))
                    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
            }
            manifest[key] = formatChecksum(hashFile((folder / file.path).string()));
            setup.final[key] = manifest[key];
            touched.insert(file.path);
        }
        std::ofstream(folder / "hashes.ini", std::ios::binary) << [&] {
            std::string text;
            for (const auto& [key, checksum] : manifest) text += key + " = " + checksum + "\r\n";
            return text;
        }();
        setup.manifests.push_back("/updates/" + std::string(version) + "/hashes.ini");
        versionFile += std::string(version) + " = inc, " + setup.manifests.back() + "\r\n";
        last = version;
    }
    std::ofstream(setup.server / "version.ini", std::ios::binary)
        << "[CurrentVersion]\r\nVersion = " << last << "\r\n[Updates]\r\n"
        << versionFile;

    setup.touched.assign(touched.begin(), touched.end());
    for (const std::string& path : setup.touched) {
        fs::create_directories((setup.originals / path).parent_path());
        fs::copy_file(setup.install / "Astrovance" / path, setup.originals / path);
    }
    return setup;
}

// Puts the replaced files back and the client version before the first update.
void resetInstallation(const PatchRunSetup& setup) {
    for (const std::string& path : setup.touched)
        fs::copy_file(setup.originals / path, setup.install / "Astrovance" / path,
                      fs::copy_options::overwrite_existing);
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "1.0");
}

// Files of the updates that do not hold the last update's bytes after a run.
int filesBehind(const PatchRunSetup& setup) {
    int behind = 0;
    for (const auto& [key, checksum] : setup.final) {
        std::string path = key;
        std::replace(path.begin(), path.end(), '\\', '/');
        if (formatChecksum(hashFile((setup.install / "Astrovance" / path).string())) != checksum)
            ++behind;
    }
    return behind;
}

struct ScanTimes {
    double first = 0;
    double later = 0;  // all later scans together
    double run = 0;    // the whole run, updates included
};

// The patch run's loop: before each update a scan, the first full, the later ones `later`.
ScanTimes patchRunScans(const PatchRunSetup& setup, const FolderServer& http, ScanMode later) {
    ScanTimes times;
    inFolder(setup.install, [&] {
        times.run = secondsOf([&] {
            for (std::size_t i = 0; i < setup.manifests.size(); ++i) {
                const double scan = secondsOf([&] {
                    hashExistingFiles(installationRoot, excludedCount, scanLock,
                                      i == 0 ? ScanMode::Full : later);
                });
                (i == 0 ? times.first : times.later) += scan;
                PatchProgress.phase = Patching;
                updateFilesFromWeb(http.url(setup.manifests[i]), installationRoot);
            }
        });
    });
    return times;
}

void benchPatchRunScans(const fs::path& base, int files, double sizeMb) {
    constexpr int updateCount = 10;
    constexpr int filesPerUpdate = 20;
    setUserPaths((base / "user").string());
    fs::create_directories(userFolder.get());
    openLog();
    const PatchRunSetup setup = makePatchRunSetup(base, files, sizeMb, updateCount, filesPerUpdate);
    FolderServer http(setup.server);

    const bool cold = dropCaches();
    if (cold)
        std::printf("page cache dropped before each cold run (Cached now %ld MB)\n",
                    cachedMegabytes());
    else
        std::printf("page cache cannot be dropped here (needs root): warm runs only\n");

    std::printf(
        "patch run, %d inc updates of %d files over %d files / %.2f GB: one scan before each "
        "update, the first and the %d later ones together, in seconds\n"
        "%-34s %8s %13s %8s %11s %8s\n",
        updateCount, filesPerUpdate, files, static_cast<double>(setup.bytes) / 1e9, updateCount - 1,
        "", "first", "later", "later %", "all scans", "run");
    auto report = [&](const char* name, const ScanTimes& times) {
        std::printf("%-34s %8.3f %13.3f %7.1f%% %11.3f %8.3f\n", name, times.first, times.later,
                    100 * times.later / times.first, times.first + times.later, times.run);
        const int behind = filesBehind(setup);
        if (behind > 0)
            std::printf("  %d files of the updates are not current afterwards!\n", behind);
        std::fflush(stdout);
    };
    for (const bool dropped : {true, false}) {
        if (dropped && !cold) continue;
        const char* cache = dropped ? "cold" : "warm";
        ScanTimes today;
        ScanTimes now;
        for (const ScanMode later : {ScanMode::Full, ScanMode::Incremental}) {
            resetInstallation(setup);
            if (dropped) dropCaches();
            const ScanTimes times = patchRunScans(setup, http, later);
            (later == ScanMode::Full ? today : now) = times;
            report((std::string(cache) +
                    (later == ScanMode::Full ? ", every scan full" : ", later scans incremental"))
                       .c_str(),
                   times);
        }
        std::printf(
            "%s: all scans %.3f s before, %.3f s now (%.1fx); later scans / first %.1f%% "
            "(target < 20%%)\n",
            cache, today.first + today.later, now.first + now.later,
            (today.first + today.later) / (now.first + now.later), 100 * now.later / now.first);

        resetInstallation(setup);
        if (dropped) dropCaches();
        double run = 0;
        inFolder(setup.install, [&] {
            run = secondsOf([&] { runPatch(fetchVersionInfo(http.url("")), http.url("")); });
        });
        std::printf("%s: runPatch as built, whole run %.3f s\n", cache, run);
        const int behind = filesBehind(setup);
        if (behind > 0)
            std::printf("  %d files of the updates are not current afterwards!\n", behind);
        std::fflush(stdout);
    }
}

std::uintmax_t bytesBelow(const fs::path& folder) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().filename() != "ORV.zip")
            total += entry.file_size();
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    int files = 3000;
    double sizeMb = 1024;
    int rounds = 2;
    bool check = true;
    bool archive = true;
    bool patchRun = true;
    int runFiles = 3000;
    double runSizeMb = 1.5e9 / (1 << 20);
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--files" && i + 1 < argc)
            files = std::atoi(argv[++i]);
        else if (option == "--size-mb" && i + 1 < argc)
            sizeMb = std::atof(argv[++i]);
        else if (option == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (option == "--skip-check")
            check = false;
        else if (option == "--skip-archive")
            archive = false;
        else if (option == "--skip-run")
            patchRun = false;
        else if (option == "--run-files" && i + 1 < argc)
            runFiles = std::atoi(argv[++i]);
        else if (option == "--run-size-mb" && i + 1 < argc)
            runSizeMb = std::atof(argv[++i]);
        else {
            std::fprintf(stderr,
                         "usage: bench_updates [--files N] [--size-mb N] [--rounds N] "
                         "[--skip-check] [--skip-archive]\n"
                         "                     [--skip-run] [--run-files N] [--run-size-mb N]\n");
            return 2;
        }
    }

    const fs::path base =
        fs::temp_directory_path() / ("orv-bench-updates-" + std::to_string(std::random_device()()));
    fs::create_directories(base);

    if (check) {
        // The best of several runs: the machine is shared.
        double small = 1e30;
        double large = 1e30;
        for (int round = 0; round < std::max(rounds, 3); ++round) {
            small = std::min(small, checkPhaseSeconds(base, 2000));
            large = std::min(large, checkPhaseSeconds(base, 20000));
        }
        std::printf("check phase, 2000 entries x 2000 scanned:   %.3f s\n", small);
        std::printf("check phase, 20000 entries x 20000 scanned: %.3f s\n", large);
        std::printf("ratio 20000 / 2000: %.1f (linear: about 10, quadratic: about 100)\n",
                    large / small);
        scannedFiles.clear();
    }

    if (archive) {
        testdata::InstallOptions options;
        options.serverDir = base / "server";
        options.files = files - 1;  // and the executable
        options.sizeMb = sizeMb;
        options.scenario = testdata::Scenario::FreshFull;
        std::printf("making a full update of %d files, %.0f MiB ...\n", files, sizeMb);
        std::fflush(stdout);
        const testdata::MadeInstall made = testdata::makeInstall(options);
        const fs::path zip = options.serverDir / "updates" / "1.0" / "ORV.zip";
        std::printf("archive: %.0f MiB\n", static_cast<double>(fs::file_size(zip)) / (1 << 20));

        FolderServer http(options.serverDir);
        const std::string updateUrl = http.url(made.fullPath);
        double bestLauncher = 1e30;
        double bestBsdtar = 1e30;
        const bool peer = peerPresent("bsdtar");
        for (int round = 0; round < rounds; ++round) {
            warmUp(zip);
            const fs::path mine = base / "launcher-install";
            fs::create_directories(mine);
            fs::create_hard_link(zip, mine / "ORV.zip");
            double launcher = 0;
            inFolder(mine, [&] {
                launcher = secondsOf([&] { updateFilesFromZip(updateUrl, installationRoot); });
            });
            const std::uintmax_t written = bytesBelow(mine);
            fs::remove_all(mine);
            bestLauncher = std::min(bestLauncher, launcher);
            if (!peer) {
                std::printf("round %d: launcher %.3f s\n", round + 1, launcher);
                continue;
            }

            warmUp(zip);
            const fs::path theirs = base / "bsdtar-install";
            fs::create_directories(theirs);
            const std::string command =
                "bsdtar -xf '" + zip.string() + "' -C '" + theirs.string() + "'";
            int status = 0;
            const double bsdtar = secondsOf([&] { status = std::system(command.c_str()); });
            const std::uintmax_t theirsWritten = bytesBelow(theirs);
            fs::remove_all(theirs);
            if (status != 0) std::fprintf(stderr, "bsdtar failed: %d\n", status);
            if (written != theirsWritten)
                std::fprintf(stderr, "extracted %ju bytes, bsdtar %ju\n", written, theirsWritten);

            std::printf("round %d: launcher %.3f s, bsdtar %.3f s, ratio %.2f\n", round + 1,
                        launcher, bsdtar, launcher / bsdtar);
            bestBsdtar = std::min(bestBsdtar, bsdtar);
        }
        if (!peer)
            std::printf("first installation, %d entries: launcher %.3f s\n", files, bestLauncher);
        else
            std::printf(
                "first installation, %d entries: launcher %.3f s, bsdtar -xf %.3f s, ratio %.2f "
                "(target <= 1.5)\n",
                files, bestLauncher, bestBsdtar, bestLauncher / bestBsdtar);
    }
    if (patchRun) benchPatchRunScans(base, runFiles, runSizeMb);
    fs::remove_all(base);
    return 0;
}
