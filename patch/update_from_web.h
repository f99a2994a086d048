// The checks that both kinds of update make for one manifest entry: where its file lies, whether
// that place is safe to write, and whether the installation needs the file.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "integrity/scan.h"

// Where a manifest key lands in the installation. Keys come from a server that writes Windows
// paths: "\" and "/" both separate folders.
struct ManifestTarget {
    std::string relative;   // "Astrovance" and the key, native separators
    std::string localText;  // the root joined with `relative`
    std::string key;        // the key as checked: "/" between its elements, nothing doubled
};

// The file of `key` below the game folder of `root`, or nothing when the installation's path rule
// (checkInstallPath) refuses the key.
std::optional<ManifestTarget> resolveManifestKey(const std::string& root, const std::string& key);

// False when a link on disk leads `relative` (a path of the installation, checked) out of its
// place: the game folder for what lies below it (players move that folder with a link), else the
// installation at `root`.
bool staysInInstallation(const std::string& root, const std::string& relative);

// The pairs of a file list, one per file: of keys that name one file ("x", "./x", on Windows
// "X"), the later line counts, as for a key listed twice.
std::map<std::string, std::string> oneLinePerFile(const std::string& text);

// True when `path` is `folder` itself or lies below it; both absolute and resolved.
bool liesBelow(const std::filesystem::path& path, const std::filesystem::path& folder);

// False when a link on disk leads the target out of the game folder of `root`. Asked only before
// a file is written: it costs a look at every folder of the path.
bool staysInGameFolder(const ManifestTarget& target, const std::string& root);

// A path as a lookup key: its elements split at "/" and "\", letters kept exactly, so two texts
// give the same key exactly when they are equal as paths.
std::string pathKey(std::string_view path);

// The first record of `files` per path key. Built once per update, after the scan: the records
// must stay where they are while the index is used.
using ScanIndex = std::unordered_map<std::string, const ScannedFile*>;
ScanIndex indexScannedFiles(const std::vector<ScannedFile>& files);

// True when the file of `target` must be fetched: its scanned checksum differs from `checksum`,
// or it was not scanned and does not exist. A file on disk without a record is left alone.
bool isFileNeeded(const ScanIndex& index, const ManifestTarget& target,
                  const std::string& checksum);

// The update's folder on the server: the URL up to its last "/", or the whole URL without one.
std::string updateFolder(const std::string& updateUrl);

// The key with every "\" turned into "/", as the server and the archive name the file.
std::string forwardSlashes(std::string key);

// The key (with "/") as a URL path: every byte that a URL cannot carry as it is (blanks, "%", "#",
// "?", control and non-ASCII bytes) is percent-encoded. Game files have blanks in their names,
// and libcurl refuses a URL that holds one.
std::string urlPath(const std::string& key);

// False for what cannot be a file list: markup (a server's error page answered with 200), or text
// without a single pair. Such a body must not pass for a list of no files.
bool isManifestText(const std::string& text);

// Half the logical processors, at least one: the updates leave room for the transfer itself.
unsigned updateWorkerCount();
