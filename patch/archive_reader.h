// libarchive's read side for ZIP archives, owned so that no early return leaks a reader.
#pragma once

#include <memory>
#include <string>

struct archive;

struct ArchiveReaderFree {
    void operator()(archive* reader) const;
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReaderFree>;

// A reader with the ZIP format enabled; empty when libarchive cannot make one.
ArchiveReader newZipReader();

// Opens the archive file for reading; false when libarchive does not answer ARCHIVE_OK.
bool openArchiveFile(archive* reader, const std::string& path);

// Flags for every extraction: no entry may land outside the working folder, whether through
// "..", an absolute name or a link already on disk.
int secureExtractFlags();
