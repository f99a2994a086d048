// bench_scan --cold: the scans as a player meets them after a reboot or a day away from the game,
// with nothing of the installation in the page cache, beside cat of every file (one, and four in
// parallel) and the scan's own reads with no CRC; then the full scan with everything cached.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench/scan_bench.h"

namespace fs = std::filesystem;

namespace {

// Empties the page cache; false when this process may not (only root may).
bool dropCaches() {
    sync();
    const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd < 0) return false;
    const bool dropped = write(fd, "3", 1) == 1;
    close(fd);
    return dropped;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    if (n == 0) return 0;
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::vector<std::string> sortedLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

struct Row {
    std::string name;
    std::string command;  // run in the tree
    std::string warmUp;   // the same programs on an empty folder, touching no kept records
    std::vector<double> seconds;
};

void timeRows(std::vector<Row>& rows, const fs::path& tree, const fs::path& empty, int rounds,
              bool cold) {
    if (!cold)
        for (Row& row : rows) runIn(tree, row.command);
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            Row& row = rows[(i + static_cast<std::size_t>(round)) % rows.size()];
            if (cold) {
                dropCaches();
                // The programs themselves come back from the disk before the clock starts.
                runIn(empty, row.warmUp);
            }
            const Run run = runIn(tree, row.command);
            if (run.status != 0) std::printf("  %s exited with %d\n", row.name.c_str(), run.status);
            row.seconds.push_back(run.seconds);
        }
    }
}

void printRows(const std::vector<Row>& rows) {
    const double base = median(rows[0].seconds);
    std::printf("%-30s %9s %9s %12s\n", "", "median s", "min s", "x full scan");
    for (const Row& row : rows) {
        std::printf("%-30s %9.3f %9.3f %12.3f\n", row.name.c_str(), median(row.seconds),
                    *std::min_element(row.seconds.begin(), row.seconds.end()),
                    median(row.seconds) / base);
    }
}

const Row* find(const std::vector<Row>& rows, const std::string& name) {
    for (const Row& row : rows)
        if (row.name == name) return &row;
    return nullptr;
}

void coldTree(const fs::path& tree, const fs::path& work, const std::string& self,
              const std::string& peer, int rounds, bool canDrop) {
    std::size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(tree))
        files += entry.is_regular_file() ? 1 : 0;
    const fs::path empty = work / "empty";
    fs::create_directories(empty);
    const auto user = [&](const char* name) { return work / ("cold-" + std::string(name)); };
    const auto scan = [&](const std::string& program, const fs::path& folder, const char* mode) {
        return "exec '" + program + "' --scan ./ '" + folder.string() + "' " + mode + " >/dev/null";
    };
    const std::string scratch = (work / "cold-scratch").string();
    const fs::path noRecords = user("none") / "My Games" / "ORV" / "ScanRecords.bin";
    const std::string parallel = std::to_string(std::max<std::size_t>(1, files / 64));
    // The records of a full scan for the first scan of the next start.
    runIn(tree, scan(self, user("kept"), "full"));

    std::vector<Row> rows = {
        {"full scan", scan(self, user("full"), "full"), scan(self, scratch, "full"), {}},
        {"first scan, kept records",
         scan(self, user("kept"), "incremental"),
         scan(self, scratch, "full"),
         {}},
        {"first scan, no kept records",
         "rm -f '" + noRecords.string() + "'; " + scan(self, user("none"), "incremental"),
         scan(self, scratch, "full"),
         {}},
        {"no-CRC limit",
         "exec '" + self + "' --read-only ./ >/dev/null",
         "exec '" + self + "' --read-only ./ >/dev/null",
         {}},
        {"cat",
         "find . -type f -print0 | xargs -0 cat >/dev/null",
         "find . -type f -print0 | xargs -0 cat >/dev/null",
         {}},
        {"4 x cat",
         "find . -type f -print0 | xargs -0 -P4 -n " + parallel + " cat >/dev/null",
         "find . -type f -print0 | xargs -0 -P4 -n 1 cat >/dev/null",
         {}},
    };
    if (!peer.empty()) {
        // bench_scan of an earlier commit takes no mode: its scan reads every file.
        rows.insert(rows.begin() + 1,
                    {"full scan (today)",
                     "exec '" + peer + "' --scan ./ '" + user("today").string() + "' >/dev/null",
                     "exec '" + peer + "' --scan ./ '" + scratch + "'",
                     {}});
    }

    if (canDrop) {
        const std::string loadBefore = loadAverage();
        timeRows(rows, tree, empty, rounds, true);
        std::printf(
            "-- cold: page cache dropped before each run; %zu files; median of %d; "
            "load average %s before, %s after --\n",
            files, rounds, loadBefore.c_str(), loadAverage().c_str());
        printRows(rows);
        const Row* today = find(rows, peer.empty() ? "full scan" : "full scan (today)");
        const double kept = median(find(rows, "first scan, kept records")->seconds);
        std::printf("first scan with kept records / %s: %.1f %% (target <= 5 %%)\n",
                    peer.empty() ? "full scan (no --peer-scan given)" : "today's full scan",
                    100 * kept / median(today->seconds));
        std::printf("full scan / 4 x cat: %.2f (target <= 1.00)\n",
                    median(rows[0].seconds) / median(find(rows, "4 x cat")->seconds));
    } else {
        std::printf(
            "-- cold: skipped, the page cache cannot be dropped "
            "(writing /proc/sys/vm/drop_caches needs root) --\n");
    }

    const auto manifest = [&](const char* name) {
        return sortedLines(user(name) / "My Games" / "ORV" / "Hashes.ini");
    };
    const auto full = manifest("full");
    for (const char* name : {"kept", "none", "today"}) {
        if (name == std::string("today") && peer.empty()) continue;
        std::printf("manifest of %s: %s\n",
                    name == std::string("kept")   ? "the first scan with kept records"
                    : name == std::string("none") ? "the first scan without kept records"
                                                  : "today's full scan",
                    manifest(name) == full ? "the full scan's lines, byte for byte"
                                           : "DIFFERS from the full scan's");
    }
    std::printf("(%zu lines each, compared sorted: lines come in the order files are done)\n",
                full.size());

    std::vector<Row> warm = {rows[0]};
    if (!peer.empty()) warm.push_back(rows[1]);
    warm.push_back(*find(rows, "first scan, kept records"));
    warm.push_back(*find(rows, "no-CRC limit"));
    for (Row& row : warm) row.seconds.clear();
    const std::string loadBefore = loadAverage();
    timeRows(warm, tree, empty, rounds, false);
    std::printf(
        "-- warm: everything in the page cache; median of %d; load average %s before, "
        "%s after --\n",
        rounds, loadBefore.c_str(), loadAverage().c_str());
    printRows(warm);
    if (!peer.empty())
        std::printf("warm full scan now / today: %.3f (target <= 1.05)\n",
                    median(warm[0].seconds) / median(warm[1].seconds));
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int benchCold(const fs::path& base, const fs::path& work, const std::string& self,
              const std::string& peerScan, int rounds) {
    rounds = std::max(rounds, 3);
    const bool canDrop = dropCaches();
    if (!canDrop)
        std::printf(
            "The page cache cannot be dropped (writing /proc/sys/vm/drop_caches needs "
            "root): cold figures are skipped, warm ones follow.\n");
    if (peerScan.empty())
        std::printf(
            "No --peer-scan: today's scan is not measured; ratios are against this "
            "build's full scan.\n");
    for (const TreeShape* shape : {&largeShape, &manyShape}) {
        const fs::path tree = ensureTree(base, *shape);
        std::printf("== %s ==\n", tree.c_str());
        coldTree(tree, work, self, peerScan, rounds, canDrop);
    }
    return 0;
}
