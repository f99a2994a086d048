#include "patch/extract_entries.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "core/log.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "patch/archive_reader.h"

namespace fs = std::filesystem;

namespace {

// The entry as the page shows it: without its leading "Astrovance/", widened byte by byte.
std::u16string shownName(const std::string& entryName) {
    constexpr std::string_view gameFolder = "Astrovance";
    std::string name = entryName;
    const auto at = name.find(gameFolder);
    if (at != std::string::npos) name.erase(at, gameFolder.size() + 1);
    std::u16string wide;
    wide.reserve(name.size());
    for (const char c : name) wide.push_back(static_cast<unsigned char>(c));
    return wide;
}

enum class Outcome { Pending, Extracted, ExtractFailed, NotFound, NoReader, NotOpened };

const char* failureLine(Outcome outcome) {
    switch (outcome) {
        case Outcome::ExtractFailed:
            return "Error when extracting the file";
        case Outcome::NotFound:
            return "File in Versionfile not found!";
        case Outcome::NoReader:
            return "Could not initialize the archive";
        case Outcome::NotOpened:
            return "Error when opening the archive";
        default:
            return nullptr;
    }
}

// The state of one extraction of many entries. The log stays in the order of `names`: an entry's
// lines are written once every earlier name has been dealt with, so an archive stored in that
// order logs each "Patched: " line right before its extraction.
struct Extraction {
    const std::vector<std::string>& names;
    bool announceNames;
    const std::function<void()>& entryDone;
    std::vector<Outcome> outcomes;
    std::vector<bool> announced;                                       // "Patched: " written
    std::unordered_map<std::string, std::vector<std::size_t>> wanted;  // name -> positions
    std::size_t next;  // the first position whose lines are not written yet
};

void announce(Extraction& run, std::size_t i) {
    if (run.announceNames && !run.announced[i]) logLine("Patched: " + run.names[i]);
    run.announced[i] = true;
}

// Writes the lines of every finished entry that is next in order.
void flush(Extraction& run) {
    while (run.next < run.names.size() && run.outcomes[run.next] != Outcome::Pending) {
        announce(run, run.next);
        if (const char* line = failureLine(run.outcomes[run.next])) logLine(line);
        if (run.entryDone) run.entryDone();
        ++run.next;
    }
}

// A failed safe write leaves its unfinished copy ("<name>.XXXXXX") beside the file, which stays
// as it was. Only copies written since the extraction began are taken away.
void removeUnfinishedCopy(const std::string& entryPath, fs::file_time_type began) {
    std::error_code error;
    const fs::path target = toPath(entryPath);
    const std::string prefix = pathText(target.filename()) + ".";
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = pathText(it->path().filename());
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        if (!it->is_regular_file(error) || it->last_write_time(error) < began || error) continue;
        fs::remove(it->path(), error);
    }
}

// libarchive's secure flags refuse "/x" and "../x" everywhere, but on Windows its writer takes a
// drive path ("C:/x", "C:x") as it stands, outside the installation.
bool isDrivePath(std::string_view name) {
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

// A name that points outside the installation: nothing of it may be extracted, and its folder is
// not ours to clean up after a failure.
bool leadsOutside(std::string_view name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\' || isDrivePath(name)) return true;
    for (std::size_t start = 0; start <= name.size();) {
        const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
        if (name.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

bool failAll(Extraction& run, Outcome outcome) {
    for (const auto& [name, indices] : run.wanted)
        for (const std::size_t i : indices) run.outcomes[i] = outcome;
    run.wanted.clear();
    return false;
}

// One pass from the first header. True when a fatal extraction error cut it short and the
// entries still wanted deserve a fresh reader, as a separate extraction of each would give them.
bool extractionPass(Extraction& run, const std::string& archivePath) {
    ArchiveReader reader = newZipReader();
    if (!reader) return failAll(run, Outcome::NoReader);
    if (!openArchiveFile(reader.get(), archivePath)) return failAll(run, Outcome::NotOpened);

    archive_entry* entry = nullptr;
    while (!run.wanted.empty() && archive_read_next_header(reader.get(), &entry) == ARCHIVE_OK) {
        const char* pathname = archive_entry_pathname(entry);
        const auto found = pathname ? run.wanted.find(pathname) : run.wanted.end();
        if (found == run.wanted.end()) {
            archive_read_data_skip(reader.get());
            continue;
        }
        // The first entry of a name is the one extracted, as a search from the front finds.
        const std::vector<std::size_t> indices = std::move(found->second);
        run.wanted.erase(found);

        if (indices.front() == run.next) announce(run, run.next);
        PatchProgress.fileName.set(shownName(run.names[indices.front()]));
        const std::string entryPath = pathname;
        const auto began = fs::file_time_type::clock::now() - std::chrono::seconds(2);
        const bool refused = leadsOutside(entryPath);
        const int result =
            refused ? ARCHIVE_FAILED : archive_read_extract(reader.get(), entry, secureExtractFlags());
        if (result != ARCHIVE_OK && !refused) removeUnfinishedCopy(entryPath, began);
        for (const std::size_t i : indices)
            run.outcomes[i] = result == ARCHIVE_OK ? Outcome::Extracted : Outcome::ExtractFailed;
        flush(run);
        if (result == ARCHIVE_FATAL) return true;
    }
    return false;
}

void extract(const std::string& archivePath, const std::vector<std::string>& names, bool announce,
             const std::function<void()>& entryDone) {
    if (names.empty()) return;
    PatchProgress.phase = Patching;
    const std::lock_guard lock(PatchProgress.transferLock);
    PatchProgress.fileName.set(shownName(names.front()));
    Extraction run{names,
                   announce,
                   entryDone,
                   std::vector<Outcome>(names.size(), Outcome::Pending),
                   std::vector<bool>(names.size(), false),
                   {},
                   0};
    for (std::size_t i = 0; i < names.size(); ++i) run.wanted[names[i]].push_back(i);
    while (!run.wanted.empty() && extractionPass(run, archivePath)) {
    }
    for (Outcome& outcome : run.outcomes)
        if (outcome == Outcome::Pending) outcome = Outcome::NotFound;
    flush(run);
}

}  // namespace

void extractEntry(const std::string& archivePath, const std::string& entryName) {
    extract(archivePath, {entryName}, false, {});
}

void extractEntries(const std::string& archivePath, const std::vector<std::string>& entryNames,
                    const std::function<void()>& entryDone) {
    extract(archivePath, entryNames, true, entryDone);
}
