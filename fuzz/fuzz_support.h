// What the fuzz targets share: a scratch folder that is the user folder, and text helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// <tmp>/orv-fuzz-<pid>/, made once per process and used as the documents folder.
const std::string& scratchFolder();

// The bytes as a narrow string.
inline std::string bytesText(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// UTF-16 as UTF-8; false when it holds a lone surrogate.
bool utf8FromUtf16(const std::u16string& wide, std::string& narrow);

// Writes the bytes to `path`, replacing it.
void writeBytes(const std::string& path, const std::string& bytes);
