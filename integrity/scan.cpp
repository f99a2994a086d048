#include "integrity/scan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <thread>

#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "integrity/exclusions.h"
#include "integrity/manifest_writer.h"
#include "integrity/scan_feed.h"
#include "integrity/scan_records.h"

std::vector<ScannedFile> scannedFiles;
std::mutex scanLock;

namespace {

constexpr char separator = platform::pathSeparator;

std::string joinRoot(const std::string& root, const std::string& relative) {
    if (root.empty()) return relative;
    const char last = root.back();
    if (last == separator || last == '/') return root + relative;
    return root + separator + relative;
}

std::string fileNameOf(const std::string& path) {
    constexpr char separators[] = {'/', separator, '\0'};
    const auto slash = path.find_last_of(separators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the steps of one scan share.
struct ScanContext {
    const std::string& root;
    std::vector<std::string>& files;  // relative paths; each moves into its record when done
    std::atomic<std::int32_t>& excludedCount;
    ManifestWriter& lines;
    // The previous scan's records sorted by path; empty in a full scan.
    const std::vector<ScannedFile>& previous;
    // The stamps the walk took, beside `files`; empty without previous records.
    const std::vector<std::optional<platform::FileStamp>>& stamps;
    std::int64_t begun;  // on the file clock, before the first file was looked at
    bool keepRecords;
    std::atomic<int> processed{0};
};

const ScannedFile* previousRecord(const std::vector<ScannedFile>& previous,
                                  const std::string& relative) {
    const auto found = std::ranges::lower_bound(previous, relative, {}, &ScannedFile::relativePath);
    return found != previous.end() && found->relativePath == relative ? &*found : nullptr;
}

void fileDone(ScanContext& scan, std::size_t index, std::uint32_t checksum,
              std::optional<platform::FileStamp> stamp) {
    std::string& relative = scan.files[index];
    std::string fileName = fileNameOf(relative);
    std::string line = relative + " = " + formatChecksum(checksum);
    scan.lines.add(line, {std::move(fileName), checksum, std::move(relative), stamp});
    ++scan.processed;
}

// Left out, taken over from the previous scan's record when the stamp is unchanged, or opened.
std::optional<FileBeingHashed> openFile(ScanContext& scan, std::size_t index, bool firstLook) {
    const std::string fullPath = joinRoot(scan.root, scan.files[index]);
    try {
        if (firstLook) {
            if (isExcluded(fullPath)) {
                ++scan.excludedCount;
                return std::nullopt;
            }
            const ScannedFile* before = previousRecord(scan.previous, scan.files[index]);
            if (before && before->stamp && scan.stamps[index] == before->stamp) {
                fileDone(scan, index, before->checksum, before->stamp);
                return std::nullopt;
            }
        }
        return openToHash(fullPath);
    } catch (const std::exception&) {
        logLine("Error workerhash file:" + fullPath);
        return std::nullopt;
    }
}

void finishFile(ScanContext& scan, std::size_t index, FileBeingHashed& file) {
    try {
        const std::uint32_t checksum = finishHash(file);
        std::optional<platform::FileStamp> stamp;
        if (scan.keepRecords && file.stamp && isSettled(*file.stamp, scan.begun))
            stamp = file.stamp;
        fileDone(scan, index, checksum, stamp);
    } catch (const std::exception&) {
        logLine("Error workerhash file:" + file.path);
    }
}

}  // namespace

bool isSettled(const platform::FileStamp& stamp, std::int64_t scanBegun) {
    constexpr std::int64_t perSecond = platform::fileTimeUnitsPerSecond;
    const auto settled = [&](std::int64_t time) {
        const auto window = time % perSecond == 0 ? coarseClockWindow : fineClockWindow;
        return time < scanBegun - window.count() * (perSecond / 1000);
    };
    return settled(stamp.modified) && settled(stamp.changed);
}

void hashExistingFiles(std::string root, std::atomic<std::int32_t>& excludedCount,
                       std::mutex& scanLock, ScanMode mode) {
    PatchProgress.phase = Scanning;
    // Before any file is looked at: what changes from here on is not trusted by the next scan.
    const std::int64_t begun = platform::fileTimeNow();
    std::vector<ScannedFile> previous;
    {
        const std::lock_guard lock(scanLock);
        if (mode == ScanMode::Incremental) previous = std::move(scannedFiles);
        scannedFiles.clear();
    }
    // Sorted, the steps find their records without an index beside them.
    std::ranges::sort(previous, {}, &ScannedFile::relativePath);
    // The first scan since the start: the last start's scan left its records.
    if (mode == ScanMode::Incremental && previous.empty())
        previous =
            loadScanRecords(scanRecordsPath.get(), root).value_or(std::vector<ScannedFile>{});

    std::vector<std::string> files;
    std::map<std::string, int> folderCounts;
    // Stamps to compare with the records, taken by the walk: with a cold cache, a file's stamp
    // costs a read of the disk near its folder's.
    std::vector<std::optional<platform::FileStamp>> stamps;
    listFiles(root, files, folderCounts, previous.empty() ? nullptr : &stamps);

    const unsigned workerCount = std::max(1u, std::thread::hardware_concurrency());

    std::ofstream manifest(hashesPath.get(), std::ios::out | std::ios::trunc);
    // The updates need the checksums more than the report needs its file: scan all the same.
    const bool manifestOpen = static_cast<bool>(manifest);
    if (!manifestOpen) logLine("Error open Hashes.ini");
    const bool keepRecords = mode != ScanMode::Report;
    if (keepRecords) {
        const std::lock_guard lock(scanLock);
        scannedFiles.reserve(files.size());
    }

    const auto started = std::chrono::steady_clock::now();
    int processed = 0;
    {
        ManifestWriter lines(manifest, scanLock, keepRecords);
        ScanContext scan{root, files, excludedCount, lines, previous, stamps, begun, keepRecords};
        const ScanSteps steps{
            [&scan](std::size_t index, bool firstLook) { return openFile(scan, index, firstLook); },
            [&scan](std::size_t index, FileBeingHashed& file) { finishFile(scan, index, file); }};
        runScanFeed(files.size(), steps, workerCount, scanReaders);
        processed = scan.processed.load();
    }

    logLine("Total number of data: " + std::to_string(files.size()));
    logLine("Number of processed data: " + std::to_string(processed));
    logLine("Exceptions: " + std::to_string(excludedCount.load()));
    for (const auto& [folder, count] : folderCounts)
        logLine("Folder " + folder + " Data: " + std::to_string(count));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%f", took.count());
    logLine(std::string("The processing took: ") + seconds + " seconds");
    manifest.close();
    // A batch of lines that could not be written (a full disk) has left the stream failed.
    if (manifestOpen && manifest.fail()) logLine("Error write Hashes.ini");
    // Kept for the next start, whose first scan then reads only what changed meanwhile.
    if (keepRecords) saveScanRecords(scanRecordsPath.get(), root, scannedFiles);
}
