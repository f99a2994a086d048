// bench_updates: figures for the two updates.
//
//   1. The check phase of an "inc" update whose every file is current, for a manifest and a scan
//      of 2,000 and of 20,000 files: with an index the time grows linearly (ratio about 10).
//   2. A first installation from a full archive of 3,000 entries and about 1 GB, against
//      `bsdtar -xf` of the same archive, both into fresh folders with the archive in the page
//      cache.
//
// usage: bench_updates [--files N] [--size-mb N] [--rounds N] [--skip-archive]
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "core/patch_progress.h"
#include "integrity/checksum.h"
#include "integrity/scan.h"
#include "patch/updates.h"
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
    bool archive = true;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--files" && i + 1 < argc)
            files = std::atoi(argv[++i]);
        else if (option == "--size-mb" && i + 1 < argc)
            sizeMb = std::atof(argv[++i]);
        else if (option == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (option == "--skip-archive")
            archive = false;
        else {
            std::fprintf(
                stderr,
                "usage: bench_updates [--files N] [--size-mb N] [--rounds N] [--skip-archive]\n");
            return 2;
        }
    }

    const fs::path base =
        fs::temp_directory_path() / ("orv-bench-updates-" + std::to_string(std::random_device()()));
    fs::create_directories(base);

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
            bestLauncher = std::min(bestLauncher, launcher);
            bestBsdtar = std::min(bestBsdtar, bsdtar);
        }
        std::printf(
            "first installation, %d entries: launcher %.3f s, bsdtar -xf %.3f s, ratio %.2f "
            "(target <= 1.5)\n",
            files, bestLauncher, bestBsdtar, bestLauncher / bestBsdtar);
    }
    fs::remove_all(base);
    return 0;
}
