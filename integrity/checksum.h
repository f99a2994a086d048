// CRC-32 checksums of files and their one text form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

// The CRC-32 (zlib's polynomial) of the file's bytes; 0, and a log line, when it cannot be opened.
std::uint32_t hashFile(const std::string& path);

// The same, and in `stamp` the file as it was before its first byte was read; nothing there when
// it could not be opened or examined, or a read failed.
std::uint32_t hashFile(const std::string& path, std::optional<platform::FileStamp>& stamp);

// Lower-case hexadecimal without leading zeros: checksums are always compared as this text.
std::string formatChecksum(std::uint32_t checksum);
