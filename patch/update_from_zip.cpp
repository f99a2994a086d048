#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/game_folder.h"
#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "integrity/checksum.h"
#include "integrity/exclusions.h"
#include "integrity/thread_pool.h"
#include "net/download.h"
#include "net/fetch.h"
#include "patch/extract_entries.h"
#include "patch/update_from_web.h"
#include "patch/update_signatures.h"
#include "patch/updates.h"

namespace fs = std::filesystem;

namespace {

constexpr int archiveDownloads = 3;

// Makes sure the archive at `zipPath` matches `expected`, with at most three downloads. Unsigned,
// whatever is there afterwards is used: every entry is checked against the update's manifest
// anyway. Signed, only an archive whose signature held is (false otherwise).
bool obtainArchive(const std::string& updateUrl, const std::string& zipPath,
                   const std::string& expected) {
    const std::unique_ptr<ContentCheck> signature = signatureCheckFor(updateUrl);
    for (int downloads = 0;; ++downloads) {
        std::error_code error;
        const bool present = fs::exists(toPath(zipPath), error);
        if (present && localFileMatches(zipPath, expected, signature.get())) {
            logLine("ZIP hash matches, download successful.");
            return true;
        }
        if (downloads == archiveDownloads) {
            logLine("Failed to download ZIP correctly after " + std::to_string(downloads) +
                    " attempts.");
            return !signature;
        }
        logLine(present ? "ZIP hash does not match, attempting to resume download..."
                        : "ZIP file not found, starting download...");
        PatchProgress.phase = Downloading;
        PatchProgress.downloadName.set(toWide(zipPath));
        // A whole archive that does not match ends the download: another gigabyte is this loop's
        // decision, not one of the transfer's ten attempts.
        // Checked as it arrived: no second read of a signed archive.
        if (downloadFile(updateUrl, zipPath, "", expected, false, OnMismatch::Refuse, nullptr,
                         signature.get()) &&
            signature) {
            logLine("ZIP hash matches, download successful.");
            return true;
        }
    }
}

struct EntryCounts {
    std::atomic<std::int32_t> processed{0};  // entries extracted (or tried)
    std::atomic<std::int32_t> failed{0};     // entries needed but not extracted
    std::atomic<std::int32_t> handled{0};    // entries examined and not excluded
    double total = 0;

    void handle() {
        const std::int32_t done = ++handled;
        PatchProgress.overallProgress.exchange(static_cast<std::int32_t>(done * 100.0 / total));
    }
};

// The checks for one entry; a needed entry is only noted, the extraction comes after the pool.
void checkEntry(std::size_t position, const std::string& key, const std::string& checksum,
                const std::string& root, const ScanIndex& index, EntryCounts& counts,
                std::vector<std::size_t>& needed, std::mutex& neededLock) {
    const auto target = resolveManifestKey(root, key);
    if (!target) {
        logLine("Unsafe path in manifest skipped: " + key);
        return;
    }
    if (isExcluded(target->localText)) {
        ++excludedCount;
        return;
    }
    if (isFileNeeded(index, *target, checksum)) {
        if (!staysInGameFolder(*target, root)) {
            logLine("Unsafe path in manifest skipped: " + key);
            return;
        }
        const std::lock_guard lock(neededLock);
        needed.push_back(position);
        return;
    }
    counts.handle();
}

}  // namespace

bool updateFilesFromZip(const std::string& updateUrl, const std::string& root) {
    const auto started = std::chrono::steady_clock::now();
    const std::string zipPath = root + "/ORV.zip";
    const std::string folder = updateFolder(updateUrl);
    logLine("Starting ZIP Extraction");

    const SignedDocument manifestText = fetchSignedDocument(folder + "/hashes.ini");
    const bool listed = manifestText.body && isManifestText(*manifestText.body);
    const std::map<std::string, std::string> manifest =
        oneLinePerFile(listed ? *manifestText.body : std::string());
    const std::map<std::string, std::string> fullInfo = IniDocument::parsePairs(
        fetchSignedDocument(folder + "/full.ini").body.value_or(std::string()));
    const auto fullZip = fullInfo.find("full.zip");
    const bool archived = obtainArchive(
        updateUrl, zipPath, fullZip == fullInfo.end() ? std::string() : fullZip->second);
    PatchProgress.fileProgress.exchange(100);
    if (!archived) {
        PatchProgress.overallProgress.exchange(100);
        logLine("Update incomplete: the archive's signature did not hold");
        return false;
    }

    const std::vector<std::pair<std::string, std::string>> entries(manifest.begin(),
                                                                   manifest.end());
    const ScanIndex index = indexScannedFiles(scannedFiles);
    EntryCounts counts;
    counts.total = static_cast<double>(entries.size());

    // The checks run in parallel; the needed entries are then extracted in one pass over the
    // archive instead of one pass each.
    std::vector<std::size_t> needed;
    std::mutex neededLock;
    {
        ThreadPool pool(updateWorkerCount());
        for (std::size_t position = 0; position < entries.size(); ++position) {
            pool.enqueue([position, &entries, &root, &index, &counts, &needed, &neededLock] {
                const auto& [key, checksum] = entries[position];
                // A failing entry must not take the process down: the pool runs jobs unguarded.
                try {
                    checkEntry(position, key, checksum, root, index, counts, needed, neededLock);
                } catch (const std::exception& error) {
                    logLine("Error checking file " + key + ": " + error.what());
                    ++counts.failed;
                } catch (...) {
                    logLine("Error checking file " + key);
                    ++counts.failed;
                }
            });
        }
    }

    std::sort(needed.begin(), needed.end());
    std::vector<WantedEntry> wanted;
    wanted.reserve(needed.size());
    for (const std::size_t position : needed) {
        const auto& [key, checksum] = entries[position];
        wanted.push_back({gameFolderName + "/" + forwardSlashes(key), checksum});
    }
    extractEntries(zipPath, wanted, [&counts](bool extracted) {
        ++counts.processed;
        if (!extracted) ++counts.failed;
        counts.handle();
    });

    PatchProgress.overallProgress.exchange(100);
    logLine("Total number of data: " + std::to_string(manifest.size()));
    logLine("Number of processed data: " + std::to_string(counts.processed.load()));
    logLine("Exceptions: " + std::to_string(excludedCount.load()));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%f", took.count());
    logLine(std::string("The processing took: ") + seconds + " seconds");
    if (!listed) {
        logLine("Update incomplete: no file list could be read from " + folder + "/hashes.ini");
        return false;
    }
    if (counts.failed > 0) {
        logLine("Update incomplete: " + std::to_string(counts.failed.load()) +
                " file(s) could not be extracted");
        return false;
    }
    return true;
}
