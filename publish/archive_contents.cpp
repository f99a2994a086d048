#include "publish/archive_contents.h"

#include <archive.h>
#include <archive_entry.h>

#include <string_view>

#include "integrity/checksum.h"
#include "patch/archive_reader.h"
#include "publish/progress_line.h"

namespace {

// "ZIP 2.0 (deflation)": libarchive names the current entry's method in the format's name.
std::string compressionOf(archive* reader) {
    const char* format = archive_format_name(reader);
    const std::string_view name = format ? format : "";
    const auto open = name.rfind('('), close = name.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return "unknown";
    return std::string(name.substr(open + 1, close - open - 1));
}

// The checksum of the current entry's data, read block by block as an extraction reads it.
bool readData(archive* reader, ArchiveEntry& entry, ProgressLine& progress) {
    std::uint32_t crc = 0;
    std::uint64_t written = 0;
    static const char zeros[4096] = {};
    for (;;) {
        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        const int result = archive_read_data_block(reader, &block, &size, &offset);
        if (result == ARCHIVE_EOF) break;
        if (result != ARCHIVE_OK) {
            const char* why = archive_error_string(reader);
            entry.readError = why ? why : "read error";
            return false;
        }
        while (written < static_cast<std::uint64_t>(offset)) {
            const auto gap =
                std::min<std::uint64_t>(sizeof zeros, static_cast<std::uint64_t>(offset) - written);
            crc = continueChecksum(crc, zeros, static_cast<std::size_t>(gap));
            written += gap;
        }
        crc = continueChecksum(crc, block, size);
        written += size;
        progress.advance(0, size);
    }
    entry.checksum = formatChecksum(crc);
    return true;
}

}  // namespace

// The players' libarchive is built with zlib alone (scripts/build-windows-deps): it extracts
// stored and deflated entries, and PPMd, which libarchive carries within itself. Deflate64, BZip2,
// LZMA, XZ and Zstandard need libraries it lacks, though Linux builds read them.
bool windowsReads(const std::string& compression) {
    return compression == "uncompressed" || compression == "deflation" || compression == "ppmd-1";
}

ArchiveContents readArchiveContents(const std::string& path, ProgressLine& progress) {
    ArchiveContents contents;
    ArchiveReader reader = newZipReader();
    if (!reader || !openArchiveFile(reader.get(), path)) {
        const char* why = reader ? archive_error_string(reader.get()) : nullptr;
        contents.error = why ? why : "not a ZIP archive";
        return contents;
    }
    contents.opened = true;
    archive_entry* header = nullptr;
    for (;;) {
        const int result = archive_read_next_header(reader.get(), &header);
        if (result == ARCHIVE_EOF) break;
        if (result != ARCHIVE_OK) {
            // The launcher's reader stops at anything but a clean header, warnings included.
            const char* why = archive_error_string(reader.get());
            contents.error = why ? why : "damaged archive";
            break;
        }
        ArchiveEntry entry;
        const char* name = archive_entry_pathname(header);
        entry.name = name ? name : "";
        entry.compression = compressionOf(reader.get());
        entry.encrypted = archive_entry_is_encrypted(header) != 0;
        entry.plainFile = archive_entry_filetype(header) == AE_IFREG;
        const bool read = entry.plainFile && !entry.encrypted && windowsReads(entry.compression);
        bool trusted = true;
        if (read) {
            trusted = readData(reader.get(), entry, progress);
        } else {
            archive_read_data_skip(reader.get());
        }
        progress.advance(1, 0);
        contents.entries.push_back(std::move(entry));
        if (!trusted) {
            // After damaged data the reader's place in the archive is not to be trusted.
            contents.error =
                "the entries after " + contents.entries.back().name + " could not be read";
            break;
        }
    }
    return contents;
}
