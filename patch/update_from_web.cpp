#include "patch/update_from_web.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "core/game_folder.h"
#include "core/ini_document.h"
#include "core/install_path.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "integrity/checksum.h"
#include "integrity/exclusions.h"
#include "integrity/thread_pool.h"
#include "net/connection_pool.h"
#include "net/download.h"
#include "net/fetch.h"
#include "patch/update_signatures.h"
#include "patch/updates.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

constexpr char separator = platform::pathSeparator;

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

// Calls `visit` with every element between separators; doubled separators give no element.
template <class Visit>
void forEachElement(std::string_view path, Visit visit) {
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = start;
        while (end < path.size() && !isSeparator(path[end])) ++end;
        if (end > start) visit(path.substr(start, end - start));
        start = end + 1;
    }
}

std::string nativeSeparators(std::string path) {
    std::replace_if(path.begin(), path.end(), isSeparator, separator);
    return path;
}

std::string joinRoot(const std::string& root, const std::string& relative) {
    if (root.empty()) return relative;
    return isSeparator(root.back()) ? root + relative : root + separator + relative;
}

// Files of an update are fetched this many at a time, over connections kept open: on a link with
// a long round trip most of a small file's time is waiting, which transfers side by side share.
constexpr unsigned transfersAtOnce = 4;

// What the jobs of one update share.
struct WebUpdate {
    const std::string& root;
    std::string folder;
    ScanIndex index;
    double entryCount;
    ConnectionPool connections;
    StrongHashes strongHashes;
    std::atomic<std::int32_t> downloadedCount{0};
    std::atomic<std::int32_t> failedCount{0};
};

// False when the file is needed and did not arrive; a refused or excluded entry is no failure.
bool updateOneFile(const std::string& key, const std::string& checksum, WebUpdate& update) {
    const std::string& root = update.root;
    const ScanIndex& index = update.index;
    const auto target = resolveManifestKey(root, key);
    if (!target) {
        logLine("Unsafe path in manifest skipped: " + key);
        return true;
    }
    if (isExcluded(target->localText)) {
        ++excludedCount;
        return true;
    }
    if (!isFileNeeded(index, *target, checksum)) return true;
    if (!staysInGameFolder(*target, root)) {
        logLine("Unsafe path in manifest skipped: " + key);
        return true;
    }

    const std::string urlKey = forwardSlashes(key);
    const std::string url = update.folder + "/" + urlPath(urlKey);
    std::unique_ptr<ContentCheck> check;
    if (!strongHashCheckFor(update.strongHashes, key, url, check)) return false;
    const bool arrived = downloadFile(url, target->localText, urlKey, checksum, false,
                                      OnMismatch::Retry, &update.connections, check.get());
    const std::int32_t downloaded = ++update.downloadedCount;
    PatchProgress.overallProgress.exchange(
        static_cast<std::int32_t>(downloaded * 100.0 / update.entryCount));
    return arrived;
}

}  // namespace

bool liesBelow(const fs::path& path, const fs::path& folder) {
    return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first ==
           folder.end();
}

std::optional<ManifestTarget> resolveManifestKey(const std::string& root, const std::string& key) {
    InstallPath checked = checkInstallPath(key);
    if (!checked) return std::nullopt;
    ManifestTarget target;
    target.relative = gameFolderName + separator + nativeSeparators(checked.relative);
    target.localText = joinRoot(root, target.relative);
    target.key = std::move(checked.relative);
    return target;
}

bool staysInGameFolder(const ManifestTarget& target, const std::string& root) {
    return staysBelow(joinRoot(root, gameFolderName), target.key);
}

bool staysInInstallation(const std::string& root, const std::string& relative) {
    const std::string game = gameFolderName + "/";
    if (relative.starts_with(game))
        return staysBelow(joinRoot(root, gameFolderName), relative.substr(game.size()));
    return staysBelow(root, relative);
}

std::map<std::string, std::string> oneLinePerFile(const std::string& text) {
    std::map<std::string, std::string> pairs;
    std::unordered_map<std::string, std::string> keyOfFile;  // same-file key -> the key kept
    for (auto& [key, checksum] : IniDocument::pairsInOrder(text)) {
        const InstallPath checked = checkInstallPath(key);
        // A refused key stays apart from the rest ("\n" cannot begin a trimmed key) and is
        // refused where the file would be fetched.
        const auto [kept, first] =
            keyOfFile.try_emplace(checked ? sameFileKey(checked.relative) : "\n" + key, key);
        if (!first && kept->second != key) {
            logLine("The file list names one file twice; the later line counts: " + key + " over " +
                    kept->second);
            pairs.erase(kept->second);
            kept->second = key;
        }
        pairs[key] = std::move(checksum);
    }
    return pairs;
}

std::string pathKey(std::string_view path) {
    std::string key;
    key.reserve(path.size() + 1);
    if (!path.empty() && isSeparator(path.front())) key += '/';
    bool first = true;
    forEachElement(path, [&](std::string_view element) {
        if (!first) key += '/';
        key += element;
        first = false;
    });
    // "a/b/" has an empty last element and is not the same path as "a/b".
    if (!first && isSeparator(path.back())) key += '/';
    return key;
}

ScanIndex indexScannedFiles(const std::vector<ScannedFile>& files) {
    ScanIndex index;
    index.reserve(files.size());
    for (const ScannedFile& file : files) index.try_emplace(pathKey(file.relativePath), &file);
    return index;
}

bool isFileNeeded(const ScanIndex& index, const ManifestTarget& target,
                  const std::string& checksum) {
    const auto found = index.find(pathKey(target.relative));
    if (found != index.end()) return formatChecksum(found->second->checksum) != checksum;
    return !fs::exists(toPath(target.localText));
}

std::string updateFolder(const std::string& updateUrl) {
    const auto slash = updateUrl.rfind('/');
    return slash == std::string::npos ? updateUrl : updateUrl.substr(0, slash);
}

std::string forwardSlashes(std::string key) {
    std::replace(key.begin(), key.end(), '\\', '/');
    return key;
}

std::string urlPath(const std::string& key) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string path;
    path.reserve(key.size());
    for (const char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = byte > 0x20 && byte < 0x7F &&
                           std::string_view("\"%<>\\^`{|}#?").find(c) == std::string_view::npos;
        if (plain) {
            path += c;
        } else {
            path += '%';
            path += hex[byte >> 4];
            path += hex[byte & 0x0F];
        }
    }
    return path;
}

bool isManifestText(const std::string& text) {
    // No game file name can begin with "<", which Windows refuses in names: that is markup.
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && text[first] == '<') return false;
    bool pairs = false, other = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        line = IniDocument::trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#' || line[0] == '[') continue;
        (line.find('=') != std::string::npos ? pairs : other) = true;
    }
    return pairs || !other;
}

unsigned updateWorkerCount() {
    return std::max(1u, std::thread::hardware_concurrency() / 2);
}

bool updateFilesFromWeb(const std::string& updateUrl, const std::string& root) {
    const SignedDocument fetched = fetchSignedDocument(updateUrl);
    const bool listed = fetched.body && isManifestText(*fetched.body);
    const std::map<std::string, std::string> manifest =
        oneLinePerFile(listed ? *fetched.body : std::string());
    WebUpdate update{root,
                     updateFolder(updateUrl),
                     indexScannedFiles(scannedFiles),
                     static_cast<double>(manifest.size()),
                     {},
                     fetchStrongHashes(updateFolder(updateUrl)),
                     {0},
                     {0}};
    {
        ThreadPool pool(transfersAtOnce);
        for (const auto& entry : manifest) {
            // Copies by name: not every compiler lets a lambda capture a structured binding.
            pool.enqueue([key = entry.first, checksum = entry.second, &update] {
                // A failing file must not take the process down: the pool runs jobs unguarded.
                try {
                    if (updateOneFile(key, checksum, update)) return;
                } catch (const std::exception& error) {
                    logLine("Error updating file " + key + ": " + error.what());
                } catch (...) {
                    logLine("Error updating file " + key);
                }
                ++update.failedCount;
            });
        }
    }
    PatchProgress.overallProgress.exchange(100);
    logLine("Total number of data to be processed: " + std::to_string(manifest.size()));
    if (!listed) {
        logLine("Update incomplete: no file list could be read from " + updateUrl);
        return false;
    }
    if (update.failedCount > 0) {
        logLine("Update incomplete: " + std::to_string(update.failedCount.load()) +
                " file(s) could not be brought up to date");
        return false;
    }
    return true;
}
