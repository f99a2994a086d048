#include "patch/extract_entries.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "core/disk_space.h"
#include "core/game_folder.h"
#include "core/install_path.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/staged_file.h"
#include "core/text.h"
#include "integrity/checksum.h"
#include "patch/archive_reader.h"
#include "patch/update_from_web.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

// The entry as the page shows it: without its leading "Astrovance/", widened byte by byte.
std::u16string shownName(const std::string& entryName) {
    std::string name = entryName;
    const auto at = name.find(gameFolderName);
    if (at != std::string::npos) name.erase(at, gameFolderName.size() + 1);
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

// The state of one extraction of many entries. The log stays in the order of `entries`: an
// entry's lines are written once every earlier one has been dealt with, so an archive stored in
// that order logs each "Patched: " line right before its extraction.
struct Extraction {
    const std::vector<WantedEntry>& entries;
    bool announceNames;
    const std::function<void(bool)>& entryDone;
    std::vector<Outcome> outcomes;
    std::vector<std::string> reasons;                                  // why an entry failed
    std::vector<bool> announced;                                       // "Patched: " written
    std::unordered_map<std::string, std::vector<std::size_t>> wanted;  // name -> positions
    std::size_t next;  // the first position whose lines are not written yet
};

void announce(Extraction& run, std::size_t i) {
    if (run.announceNames && !run.announced[i]) logLine("Patched: " + run.entries[i].name);
    run.announced[i] = true;
}

// Writes the lines of every finished entry that is next in order.
void flush(Extraction& run) {
    while (run.next < run.entries.size() && run.outcomes[run.next] != Outcome::Pending) {
        announce(run, run.next);
        if (const char* line = failureLine(run.outcomes[run.next])) logLine(line);
        if (!run.reasons[run.next].empty()) logLine(run.reasons[run.next]);
        if (run.entryDone) run.entryDone(run.outcomes[run.next] == Outcome::Extracted);
        ++run.next;
    }
}

// False when a link on disk would carry the entry out of the installation.
bool staysInPlace(const std::string& relative) {
    return staysInInstallation(".", relative);
}

constexpr std::uint64_t writebackStep = std::uint64_t{8} << 20;

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Reads the current entry's data into its staging file and renames that over the entry's file
// once it is whole and, with a checksum, matches. Empty when done, else why not. `fatal` tells
// that the entry could not be read, after which the reader is not used again.
std::string writeEntry(archive* reader, archive_entry* entry, const WantedEntry& wanted,
                       bool& fatal) {
    const std::string& name = wanted.name;
    const InstallPath checked = checkInstallPath(name);
    if (!checked) return "Extraction refused: " + name + ": " + checked.refusal;
    if (archive_entry_filetype(entry) != AE_IFREG)
        return "Extraction refused: " + name + " is not a plain file";
    if (!staysInPlace(checked.relative))
        return "Extraction refused: a link leads " + name + " outside the installation";
    const fs::path target = toPath(checked.relative);

    std::error_code error;
    if (target.has_parent_path()) fs::create_directories(target.parent_path(), error);
    const std::string targetText = pathText(target);
    const std::string staged = stagingPath(targetText);
    std::unique_ptr<std::FILE, FileClose> out(openStaged(staged));
    if (!out) return "Extraction failed: " + name + " cannot be written";

    std::uint32_t crc = 0;
    std::uint64_t written = 0;
    std::string failure;
    bool writeFailed = false;
    // An entry may unpack to far more than it says (a zip bomb): it stops at its declared size.
    const std::uint64_t declared = archive_entry_size_is_set(entry)
                                       ? static_cast<std::uint64_t>(archive_entry_size(entry))
                                       : UINT64_MAX;
    SpaceWatch space(target.has_parent_path() ? pathText(target.parent_path()) : ".");
    const auto put = [&](const void* data, std::size_t size) {
        if (size == 0) return;  // libarchive may hand out an empty block without a buffer
        if (written + size > declared) {
            failure = "Extraction refused: " + name + " holds more than its declared " +
                      std::to_string(declared) + " bytes";
            writeFailed = true;
            return;
        }
        if (!space.allows(written + size)) {
            failure = "Extraction stopped: " + std::string(diskFullText) + " for " + name +
                      " (the launcher leaves " + std::to_string(diskReserve.load() >> 20) +
                      " MiB free)";
            writeFailed = true;
            return;
        }
        writeFailed = writeFailed || std::fwrite(data, 1, size, out.get()) != size;
        crc = continueChecksum(crc, data, size);
        // Big entries go to the disk as they come, not all at once at the rename.
        if ((written + size) / writebackStep != written / writebackStep)
            platform::startWriteback(out.get(), written / writebackStep * writebackStep);
        written += size;
    };
    while (!writeFailed) {
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        const int result = archive_read_data_block(reader, &block, &size, &offset);
        if (result == ARCHIVE_EOF) break;
        if (result != ARCHIVE_OK) {
            // After a damaged entry the reader's place in the archive is not to be trusted.
            fatal = true;
            const char* why = archive_error_string(reader);
            failure = "Extraction failed: " + name + " is damaged in the archive (" +
                      (why ? why : "read error") + ")";
            break;
        }
        // Sparse entries leave holes that read as zeros; a ZIP archive has none.
        static const char zeros[4096] = {};
        while (written < static_cast<std::uint64_t>(offset) && !writeFailed) {
            put(zeros, static_cast<std::size_t>(std::min<std::uint64_t>(
                           sizeof zeros, static_cast<std::uint64_t>(offset) - written)));
        }
        put(block, size);
    }
    writeFailed = std::fclose(out.release()) != 0 || writeFailed;
    if (writeFailed && failure.empty())
        failure = "Extraction failed: " + name + " could not be written whole";
    if (failure.empty() && !wanted.checksum.empty() && formatChecksum(crc) != wanted.checksum) {
        failure = "Extraction refused: " + name + " has checksum " + formatChecksum(crc) +
                  " instead of " + wanted.checksum;
    }
    if (failure.empty() && !replaceWithStaged(staged, targetText, error))
        failure = "Extraction failed: " + name + " cannot be replaced (" + error.message() + ")";
    if (!failure.empty()) discardStaged(staged);
    return failure;
}

bool failAll(Extraction& run, Outcome outcome) {
    for (const auto& [name, indices] : run.wanted)
        for (const std::size_t i : indices) run.outcomes[i] = outcome;
    run.wanted.clear();
    return false;
}

// One pass from the first header. True when a read error cut it short and the entries still
// wanted deserve a fresh reader, as a separate extraction of each would give them.
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
        PatchProgress.fileName.set(shownName(run.entries[indices.front()].name));
        bool fatal = false;
        std::string failure;
        try {
            failure = writeEntry(reader.get(), entry, run.entries[indices.front()], fatal);
        } catch (const std::exception& error) {
            failure = std::string("Extraction failed: ") + error.what();
        }
        for (const std::size_t i : indices) {
            run.outcomes[i] = failure.empty() ? Outcome::Extracted : Outcome::ExtractFailed;
            run.reasons[i] = failure;
        }
        flush(run);
        if (fatal) return true;
    }
    return false;
}

void extract(const std::string& archivePath, const std::vector<WantedEntry>& entries, bool announce,
             const std::function<void(bool)>& entryDone) {
    if (entries.empty()) return;
    PatchProgress.phase = Patching;
    const std::lock_guard lock(PatchProgress.transferLock);
    PatchProgress.fileName.set(shownName(entries.front().name));
    Extraction run{entries,
                   announce,
                   entryDone,
                   std::vector<Outcome>(entries.size(), Outcome::Pending),
                   std::vector<std::string>(entries.size()),
                   std::vector<bool>(entries.size(), false),
                   {},
                   0};
    for (std::size_t i = 0; i < entries.size(); ++i) run.wanted[entries[i].name].push_back(i);
    while (!run.wanted.empty() && extractionPass(run, archivePath)) {
    }
    for (Outcome& outcome : run.outcomes)
        if (outcome == Outcome::Pending) outcome = Outcome::NotFound;
    flush(run);
}

}  // namespace

bool extractEntry(const std::string& archivePath, const std::string& entryName) {
    bool extracted = false;
    extract(archivePath, {{entryName, ""}}, false, [&](bool done) { extracted = done; });
    return extracted;
}

void extractEntries(const std::string& archivePath, const std::vector<WantedEntry>& entries,
                    const std::function<void(bool)>& entryDone) {
    extract(archivePath, entries, true, entryDone);
}
