#include "integrity/scan.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "integrity/exclusions.h"
#include "integrity/thread_pool.h"

namespace fs = std::filesystem;

std::vector<ScannedFile> scannedFiles;
std::mutex scanLock;

namespace {

std::mutex scannedFilesResetLock;

constexpr char separator = platform::pathSeparator;

bool isNotFound(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

struct OpenFolder {
    fs::directory_iterator entries;
    std::string relativeFolder;
    int fileCount = 0;
};

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

// What every job of one scan shares; each job carries only this and its own path.
struct ScanContext {
    const std::string& root;
    std::atomic<std::int32_t>& excludedCount;
    std::mutex& scanLock;
    std::ofstream& manifest;
    // The previous scan's records sorted by path; empty in a full scan.
    const std::vector<ScannedFile>& previous;
    std::int64_t begun;  // on the file clock, before the first file was looked at
    bool keepRecords;
    std::atomic<int> processed{0};
};

const ScannedFile* previousRecord(const std::vector<ScannedFile>& previous,
                                  const std::string& relative) {
    const auto found = std::ranges::lower_bound(previous, relative, {}, &ScannedFile::relativePath);
    return found != previous.end() && found->relativePath == relative ? &*found : nullptr;
}

// The checksum, and the stamp to remember it by.
std::uint32_t checksumOf(const std::string& fullPath, const std::string& relative,
                         const ScanContext& scan, std::optional<platform::FileStamp>& stamp) {
    const ScannedFile* before = previousRecord(scan.previous, relative);
    if (before && before->stamp && platform::fileStamp(fullPath) == before->stamp) {
        stamp = before->stamp;
        return before->checksum;
    }
    if (!scan.keepRecords) return hashFile(fullPath);
    const std::uint32_t checksum = hashFile(fullPath, stamp);
    if (stamp && !isSettled(*stamp, scan.begun)) stamp.reset();
    return checksum;
}

// `relative` belongs to this job alone: it moves into the record once its line is written.
void hashOne(std::string& relative, ScanContext& scan) {
    const std::string fullPath = joinRoot(scan.root, relative);
    if (isExcluded(fullPath)) {
        ++scan.excludedCount;
        return;
    }
    try {
        std::optional<platform::FileStamp> stamp;
        const std::uint32_t checksum = checksumOf(fullPath, relative, scan, stamp);
        const std::string checksumText = formatChecksum(checksum);
        std::string fileName = fileNameOf(fullPath);
        {
            const std::lock_guard lock(scan.scanLock);
            // The stream's own buffer collects the lines: a write per line would cost a system
            // call per file, under the lock. The file is complete when the scan returns.
            scan.manifest << relative << " = " << checksumText << '\n';
            if (scan.keepRecords)
                scannedFiles.push_back({std::move(fileName), checksum, std::move(relative), stamp});
        }
        ++scan.processed;
    } catch (const std::exception&) {
        logLine("Error workerhash file:" + fullPath);
    }
}

}  // namespace

void listFiles(const std::string& root, std::vector<std::string>& files,
               std::map<std::string, int>& folderCounts) {
    const fs::path rootPath = toPath(root);
    // Entries come back as the root's text joined with their relative path, so the relative
    // path is a plain suffix; no per-file path arithmetic.
    const auto& rootText = rootPath.native();
    const bool rootEndsInSeparator =
        !rootText.empty() && (rootText.back() == fs::path::preferred_separator ||
                              rootText.back() == static_cast<fs::path::value_type>('/'));
    const std::size_t prefixLength =
        rootText.size() + (rootText.empty() || rootEndsInSeparator ? 0 : 1);
    auto relativeText = [&](const fs::path& path) {
        const auto& native = path.native();
        if (native.size() > prefixLength && native.compare(0, rootText.size(), rootText) == 0)
            return nativePathText(native.substr(prefixLength));
        return nativePathText(path.lexically_relative(rootPath).native());
    };

    // An explicit stack instead of recursive_directory_iterator: that one gives up the whole
    // walk at the first folder it cannot open, and a deep tree cannot overflow the call stack.
    std::vector<OpenFolder> stack;
    auto openFolder = [&](const fs::path& folder, std::string relativeFolder) {
        std::error_code error;
        fs::directory_iterator entries(folder, error);
        if (error) {
            logLine("Error listing folder:" + pathText(folder));
            return;
        }
        stack.push_back({std::move(entries), std::move(relativeFolder), 0});
    };
    auto closeFolder = [&] {
        if (stack.back().fileCount > 0)
            folderCounts[stack.back().relativeFolder] += stack.back().fileCount;
        stack.pop_back();
    };

    openFolder(rootPath, "");
    while (!stack.empty()) {
        OpenFolder& current = stack.back();
        if (current.entries == fs::directory_iterator()) {
            closeFolder();
            continue;
        }
        const fs::directory_entry entry = *current.entries;
        std::error_code error;
        current.entries.increment(error);
        if (error) {
            // The iterator is at its end now: the rest of this folder is lost, not the walk.
            logLine("Error listing folder:" + pathText(entry.path().parent_path()));
        }

        error.clear();
        const bool isLink = entry.is_symlink(error);
        if (!error && !isLink && entry.is_directory(error)) {
            openFolder(entry.path(), relativeText(entry.path()));
            continue;
        }
        if (!error && entry.is_regular_file(error)) {
            files.push_back(relativeText(entry.path()));
            ++current.fileCount;
        } else if (error && !isNotFound(error)) {
            // A link that loops, or an entry whose type the system will not tell.
            logLine("Error listing file:" + pathText(entry.path()));
        }
    }
}

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
        const std::lock_guard lock(scannedFilesResetLock);
        if (mode == ScanMode::Incremental) previous = std::move(scannedFiles);
        scannedFiles.clear();
    }
    // Sorted, the jobs find their records without an index beside them.
    std::ranges::sort(previous, {}, &ScannedFile::relativePath);

    std::vector<std::string> files;
    std::map<std::string, int> folderCounts;
    listFiles(root, files, folderCounts);

    const unsigned workerCount = std::thread::hardware_concurrency();

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
    ScanContext scan{root, excludedCount, scanLock, manifest, previous, begun, keepRecords};
    {
        ThreadPool pool(workerCount);
        for (std::string& relative : files)
            pool.enqueue([&relative, &scan] { hashOne(relative, scan); });
    }

    logLine("Total number of data: " + std::to_string(files.size()));
    logLine("Number of processed data: " + std::to_string(scan.processed.load()));
    logLine("Exceptions: " + std::to_string(excludedCount.load()));
    for (const auto& [folder, count] : folderCounts)
        logLine("Folder " + folder + " Data: " + std::to_string(count));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%f", took.count());
    logLine(std::string("The processing took: ") + seconds + " seconds");
    manifest.close();
    // A full disk shows only here, when the last lines leave the buffer.
    if (manifestOpen && manifest.fail()) logLine("Error write Hashes.ini");
}
