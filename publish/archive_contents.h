// A full update's archive as the launcher's reader sees it: each entry's name, how it is
// compressed, and the checksum of its data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ProgressLine;

struct ArchiveEntry {
    std::string name;         // as the launcher's reader gives it
    std::string compression;  // libarchive's name of the entry's method ("deflation", ...)
    bool encrypted = false;
    bool plainFile = true;
    std::string checksum;   // of the data as read; empty when not read
    std::string readError;  // why the data could not be read
};

struct ArchiveContents {
    bool opened = false;
    std::vector<ArchiveEntry> entries;  // in archive order
    std::string error;                  // why the archive could not be read to its end
};

ArchiveContents readArchiveContents(const std::string& path, ProgressLine& progress);

// True for the methods the players' Windows launcher can extract.
bool windowsReads(const std::string& compression);
