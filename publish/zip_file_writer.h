// A ZIP archive written front to back without holding any entry whole: each entry's data follows
// its local header, whose checksum and sizes are filled in once the data is out, and the central
// directory comes last. Zip64 records are written where sizes, offsets or the entry count need
// them. Times, attributes and the host are fixed, so the same entries give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where Zip64 records begin. Tests lower them to reach those records with small archives.
struct ZipLimits {
    // An entry whose size reaches this carries Zip64 sizes in its local header: they must be
    // chosen before the data is compressed, so the margin covers deflate's worst growth.
    std::uint64_t entrySize = 0xF0000000;
    std::uint64_t field = 0xFFFFFFFF;  // the largest size or offset a classic field holds
    std::uint64_t entries = 0xFFFF;    // the largest count a classic end record holds
};

class ZipFileWriter {
public:
    // Creates or truncates `path`. Throws std::runtime_error on any failure, here and below.
    explicit ZipFileWriter(const std::string& path, ZipLimits limits = {});
    ~ZipFileWriter();
    ZipFileWriter(const ZipFileWriter&) = delete;
    ZipFileWriter& operator=(const ZipFileWriter&) = delete;

    // A file entry named `name` ("/" between folders) of `size` bytes, stored or deflated (raw
    // deflate data, as write() will be given it).
    void beginEntry(const std::string& name, std::uint64_t size, bool deflated);
    void write(const char* data, std::size_t size);
    // `crc` and `size` of the entry's uncompressed bytes.
    void endEntry(std::uint32_t crc, std::uint64_t size);
    // Writes the central directory and closes the file; returns the archive's size.
    std::uint64_t finish();

private:
    struct Entry {
        std::string name;
        std::uint16_t flags = 0, method = 0;
        std::uint32_t crc = 0;
        std::uint64_t compressed = 0, size = 0, offset = 0;
        bool zip64Local = false;
    };
    void put(const std::string& bytes);
    void flush();
    void patch(std::uint64_t offset, const std::string& bytes);
    [[noreturn]] void fail(const std::string& what) const;

    std::string path_;
    ZipLimits limits_;
    int file_ = -1;
    std::string buffer_;         // written bytes not yet in the file
    std::uint64_t flushed_ = 0;  // bytes in the file
    std::vector<Entry> entries_;
    std::uint64_t dataStart_ = 0;  // of the open entry
};
