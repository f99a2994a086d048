#include "testdata/zip_writer.h"

#include <archive.h>
#include <archive_entry.h>

#include <stdexcept>

namespace testdata {
namespace {

constexpr time_t fixedTime = 1704067200;  // 2024-01-01 00:00:00 UTC

struct EntryFree {
    void operator()(archive_entry* entry) const { archive_entry_free(entry); }
};

}  // namespace

void ZipWriter::Free::operator()(archive* handle) const {
    archive_write_free(handle);
}

ZipWriter::ZipWriter(const std::filesystem::path& path) : archive_(archive_write_new()) {
    if (!archive_) throw std::runtime_error("archive_write_new failed");
    check(archive_write_set_format_zip(archive_.get()), "ZIP format");
    check(archive_write_open_filename(archive_.get(), path.string().c_str()), "open");
}

ZipWriter::~ZipWriter() = default;  // archive_write_free closes an archive left open

void ZipWriter::check(int result, const char* what) {
    if (result < ARCHIVE_WARN) {
        const char* message = archive_error_string(archive_.get());
        throw std::runtime_error(std::string("ZIP ") + what + ": " + (message ? message : "error"));
    }
}

void ZipWriter::beginFile(const std::string& name, std::uint64_t size, bool executable) {
    std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
    for (auto slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
        const std::string folder = name.substr(0, slash + 1);
        if (!folders_.insert(folder).second) continue;
        archive_entry_clear(entry.get());
        archive_entry_set_pathname(entry.get(), folder.c_str());
        archive_entry_set_filetype(entry.get(), AE_IFDIR);
        archive_entry_set_perm(entry.get(), 0755);
        archive_entry_set_mtime(entry.get(), fixedTime, 0);
        check(archive_write_header(archive_.get(), entry.get()), "folder entry");
    }
    archive_entry_clear(entry.get());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), executable ? 0755 : 0644);
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
    archive_entry_set_mtime(entry.get(), fixedTime, 0);
    check(archive_write_header(archive_.get(), entry.get()), "file entry");
}

void ZipWriter::write(const std::string& bytes) {
    if (bytes.empty()) return;
    if (archive_write_data(archive_.get(), bytes.data(), bytes.size()) < 0)
        check(ARCHIVE_FATAL, "data");
}

void ZipWriter::close() {
    check(archive_write_close(archive_.get()), "close");
}

}  // namespace testdata
