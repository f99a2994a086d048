// What the parts of bench_scan share: the generated trees and the timing of child programs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct TreeShape {
    const char* name;
    int files;
    double meanBytes;  // of the log-normal part
    double sigma;
    std::uint64_t maxBytes;
    std::vector<std::uint64_t> bigFiles;
    int leafFolders;
};

// About 1.5 GB in ~3,000 files, three of 200-400 MB; and 100,000 files of 500 MB together.
inline const TreeShape largeShape{
    "large", 3000, 200e3, 1.6, 64ull << 20, {220ull << 20, 300ull << 20, 380ull << 20}, 120};
inline const TreeShape manyShape{"many", 100000, 5000, 1.2, 1ull << 20, {}, 600};

// The tree below `base`, generated on first use and kept.
std::filesystem::path ensureTree(const std::filesystem::path& base, const TreeShape& shape);

struct Run {
    double seconds;
    long peakKilobytes;
    int status;
};

// Runs a shell command in `folder`; wall time and the peak resident memory of the processes.
Run runIn(const std::filesystem::path& folder, const std::string& command);

// bench_scan --cold: the scans with the page cache dropped before each run, beside cat; then the
// full scan warm. `peerScan` is another build of bench_scan whose --scan stands for today's scan.
int benchCold(const std::filesystem::path& base, const std::filesystem::path& work,
              const std::string& self, const std::string& peerScan, int rounds);
