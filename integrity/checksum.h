// CRC-32 checksums of files and their one text form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

// The CRC-32 (zlib's polynomial) of the file's bytes; 0, and a log line, when it cannot be opened.
std::uint32_t hashFile(const std::string& path);

// The same, and in `stamp` the file as it was before its first byte was read; nothing there when
// it could not be opened or examined, or a read failed.
std::uint32_t hashFile(const std::string& path, std::optional<platform::FileStamp>& stamp);

// The CRC-32 of `size` more bytes following those that `crc` stands for (0 for none): data is
// checked as it arrives instead of being read back.
std::uint32_t continueChecksum(std::uint32_t crc, const void* data, std::size_t size);

// Lower-case hexadecimal without leading zeros: checksums are always compared as this text.
std::string formatChecksum(std::uint32_t checksum);
