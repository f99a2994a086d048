#include "tests/patch/update_test_support.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>
#include <stdexcept>

#include "core/patch_progress.h"
#include "core/text.h"
#include "integrity/checksum.h"
#include "integrity/exclusions.h"

namespace fs = std::filesystem;

void writeZip(const fs::path& path, const std::vector<ZipEntry>& entries) {
    const std::unique_ptr<archive, decltype(&archive_write_free)> zip(archive_write_new(),
                                                                      &archive_write_free);
    archive_write_set_format_zip(zip.get());
    fs::create_directories(path.parent_path());
    if (archive_write_open_filename(zip.get(), path.string().c_str()) != ARCHIVE_OK)
        throw std::runtime_error("cannot write " + path.string());
    for (const ZipEntry& item : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> entry(
            archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname(entry.get(), item.name.c_str());
        if (item.linkTarget.empty()) {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_perm(entry.get(), 0644);
            archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.content.size()));
        } else {
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_perm(entry.get(), 0777);
            archive_entry_set_symlink(entry.get(), item.linkTarget.c_str());
            archive_entry_set_size(entry.get(), 0);
        }
        if (archive_write_header(zip.get(), entry.get()) != ARCHIVE_OK)
            throw std::runtime_error(std::string("zip header: ") + archive_error_string(zip.get()));
        if (!item.content.empty())
            archive_write_data(zip.get(), item.content.data(), item.content.size());
    }
    if (archive_write_close(zip.get()) != ARCHIVE_OK) throw std::runtime_error("zip close");
}

std::vector<std::string> zipEntryNames(const fs::path& path) {
    const std::unique_ptr<archive, decltype(&archive_read_free)> zip(archive_read_new(),
                                                                     &archive_read_free);
    archive_read_support_format_zip(zip.get());
    std::vector<std::string> names;
    if (archive_read_open_filename(zip.get(), path.string().c_str(), 65536) != ARCHIVE_OK)
        return names;
    archive_entry* entry = nullptr;
    while (archive_read_next_header(zip.get(), &entry) == ARCHIVE_OK)
        names.emplace_back(archive_entry_pathname(entry));
    return names;
}

std::string checksumText(const std::string& content) {
    TempDir scratch;
    writeFile(scratch.path() / "bytes", content);
    return formatChecksum(hashFile(scratch.file("bytes")));
}

std::vector<std::string> filesBelow(const fs::path& folder) {
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_symlink() || entry.is_regular_file()) {
            std::string name = pathText(entry.path().lexically_relative(folder));
            std::replace(name.begin(), name.end(), '\\', '/');
            files.push_back(std::move(name));
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> linesStarting(const std::vector<std::string>& lines,
                                       const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

void UpdateTest::SetUp() {
    useUserFolder(dir);
    fs::create_directories(root);
    fs::create_directories(serverFolder);
    server.serveFolder("/u", serverFolder);
    previousFolder = fs::current_path();
    fs::current_path(root);
    PatchProgress.overallProgress = 0;
    PatchProgress.fileProgress = 0;
    PatchProgress.phase = Idle;
    PatchProgress.fileName.set(u"");
    scannedFiles.clear();
}

void UpdateTest::TearDown() {
    fs::current_path(previousFolder);
}

void UpdateTest::scan() {
    hashExistingFiles(installationRoot, excludedCount, scanLock);
}

void UpdateTest::serve(const std::string& relative, const std::string& content) {
    writeFile(serverFolder / toPath(relative), content);
}

void UpdateTest::install(const std::string& relative, const std::string& content) {
    writeFile(gameFile(relative), content);
}

fs::path UpdateTest::gameFile(const std::string& relative) const {
    return root / "Astrovance" / toPath(relative);
}

std::string UpdateTest::updateUrl(const std::string& name) const {
    return server.url("/u/" + name);
}

int UpdateTest::fileRequests(const std::vector<std::string>& except) const {
    int count = 0;
    for (const std::string& target : server.requestLog())
        if (!hasLine(except, target)) ++count;
    return count;
}
