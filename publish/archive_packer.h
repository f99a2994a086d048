// Packs the files of a game tree into the full update's archive, one entry "Astrovance/<key>"
// per file in the given order. Files are read in pieces and the pieces deflated side by side on
// every processor, each piece continuing the stream of the one before (its last 32 KiB as the
// dictionary), so neither a big file nor the archive is ever held whole, and the bytes do not
// depend on how many threads did the work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publish/game_tree.h"
#include "publish/zip_file_writer.h"

class ProgressLine;

struct PackedFile {
    std::string key;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    bool deflated = false;
};

struct PackedArchive {
    std::vector<PackedFile> files;  // in the order given
    std::uint64_t archiveBytes = 0;
};

// Writes the archive at `zipPath`. A file is deflated when that saves at least a sixty-fourth of
// its first piece, and stored otherwise (media that is compressed already). Throws
// std::runtime_error when a file cannot be read or changes size while it is packed, or the
// archive cannot be written.
PackedArchive packArchive(const std::vector<TreeFile>& files, const std::string& zipPath,
                          ProgressLine& progress, ZipLimits limits = {});

// Raw deflate of `input`, continuing a stream whose bytes so far ended with `dictionary`. Ends on
// a byte boundary with the stream open (a sync flush), or, when `last`, ends the stream.
std::string deflatePiece(const std::string& dictionary, const std::string& input, bool last);
