// CRC-32 checksums of files and their one text form.
#pragma once

#include <cstdint>
#include <string>

// The CRC-32 (zlib's polynomial) of the file's bytes; 0, and a log line, when it cannot be opened.
std::uint32_t hashFile(const std::string& path);

// Lower-case hexadecimal without leading zeros: checksums are always compared as this text.
std::string formatChecksum(std::uint32_t checksum);
