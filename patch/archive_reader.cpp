#include "patch/archive_reader.h"

#include <archive.h>

namespace {
// Not the 2 MiB one might expect: the block size the archive has always been read with.
constexpr std::size_t readBlockSize = 2024000;
}  // namespace

void ArchiveReaderFree::operator()(archive* reader) const {
    archive_read_close(reader);
    archive_read_free(reader);
}

ArchiveReader newZipReader() {
    ArchiveReader reader(archive_read_new());
    if (reader) archive_read_support_format_zip(reader.get());
    return reader;
}

bool openArchiveFile(archive* reader, const std::string& path) {
    return archive_read_open_filename(reader, path.c_str(), readBlockSize) == ARCHIVE_OK;
}

int secureExtractFlags() {
    // Safe writes put each file beside its place and rename it there when complete: a full disk
    // or a broken entry leaves the old file, never a cut-off one.
    return ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS |
           ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SAFE_WRITES;
}
