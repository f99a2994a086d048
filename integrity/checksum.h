// CRC-32 checksums of files and their one text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"

// The CRC-32 (zlib's polynomial) of the file's bytes; 0, and a log line, when it cannot be opened.
std::uint32_t hashFile(const std::string& path);

// A file on its way through hashFile, in steps that may run on different threads: a scan's
// readers open files and read their first block ahead of the workers that finish them.
struct BlockReturn {
    void operator()(unsigned char* block) const;
};
struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
struct FileBeingHashed {
    std::string path;
    std::unique_ptr<std::FILE, FileClose> file;  // null when it could not be opened
    // Taken on opening, before any byte was read: whatever changes after that moves the stamp.
    std::optional<platform::FileStamp> stamp;
    std::unique_ptr<unsigned char, BlockReturn> first;  // the first block, once read
    std::size_t firstBytes = 0;
};

// Opens the file and takes its stamp; logs "Error hashing file:" when it cannot be opened.
FileBeingHashed openToHash(const std::string& path);
// Reads the first block, which holds the whole of most files.
void readFirstBlock(FileBeingHashed& file);
// The checksum of the whole file, read on from where the steps before left it. The stamp goes
// when a read failed: the checksum then stands for no state of the file.
std::uint32_t finishHash(FileBeingHashed& file);

// The same, and in `stamp` the file as it was before its first byte was read; nothing there when
// it could not be opened or examined, or a read failed.
std::uint32_t hashFile(const std::string& path, std::optional<platform::FileStamp>& stamp);

// The CRC-32 of `size` more bytes following those that `crc` stands for (0 for none): data is
// checked as it arrives instead of being read back.
std::uint32_t continueChecksum(std::uint32_t crc, const void* data, std::size_t size);

// Lower-case hexadecimal without leading zeros: checksums are always compared as this text.
std::string formatChecksum(std::uint32_t checksum);
