#include "publish/zip_file_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t bufferSize = std::size_t{1} << 20;
// 2024-01-01 00:00:00 in MS-DOS form: every entry carries it, whatever the file's own times.
constexpr std::uint16_t fixedDate = ((2024 - 1980) << 9) | (1 << 5) | 1;
constexpr std::uint16_t fixedTime = 0;
constexpr std::uint16_t utf8Names = 0x0800;

void put16(std::string& out, std::uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

void put32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void put64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

bool isAscii(const std::string& text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

}  // namespace

ZipFileWriter::ZipFileWriter(const std::string& path, ZipLimits limits)
    : path_(path), limits_(limits) {
    file_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file_ < 0) fail("cannot be created");
    buffer_.reserve(bufferSize + 64 * 1024);
}

ZipFileWriter::~ZipFileWriter() {
    if (file_ >= 0) ::close(file_);
}

void ZipFileWriter::fail(const std::string& what) const {
    throw std::runtime_error(path_ + " " + what + " (" + std::strerror(errno) + ")");
}

void ZipFileWriter::flush() {
    std::size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t wrote = ::write(file_, buffer_.data() + done, buffer_.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) fail("cannot be written");
        done += static_cast<std::size_t>(wrote);
    }
    flushed_ += buffer_.size();
    buffer_.clear();
}

void ZipFileWriter::put(const std::string& bytes) {
    buffer_ += bytes;
    if (buffer_.size() >= bufferSize) flush();
}

void ZipFileWriter::write(const char* data, std::size_t size) {
    if (size >= bufferSize) {
        flush();
        buffer_.assign(data, size);
        flush();
        return;
    }
    buffer_.append(data, size);
    if (buffer_.size() >= bufferSize) flush();
}

// Bytes at `offset` that are either still in the buffer or already in the file.
void ZipFileWriter::patch(std::uint64_t offset, const std::string& bytes) {
    if (offset >= flushed_) {
        buffer_.replace(static_cast<std::size_t>(offset - flushed_), bytes.size(), bytes);
        return;
    }
    if (offset + bytes.size() > flushed_) flush();
    const ssize_t wrote = ::pwrite(file_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (wrote != static_cast<ssize_t>(bytes.size())) fail("cannot be written");
}

void ZipFileWriter::beginEntry(const std::string& name, std::uint64_t size, bool deflated) {
    Entry entry;
    entry.name = name;
    entry.flags = isAscii(name) ? 0 : utf8Names;
    entry.method = deflated ? 8 : 0;
    entry.offset = flushed_ + buffer_.size();
    entry.zip64Local = size >= limits_.entrySize;

    std::string header;
    put32(header, 0x04034b50);
    put16(header, entry.zip64Local ? 45 : 20);
    put16(header, entry.flags);
    put16(header, entry.method);
    put16(header, fixedTime);
    put16(header, fixedDate);
    put32(header, 0);  // checksum and sizes follow the data
    put32(header, entry.zip64Local ? 0xFFFFFFFF : 0);
    put32(header, entry.zip64Local ? 0xFFFFFFFF : 0);
    put16(header, static_cast<std::uint16_t>(name.size()));
    put16(header, entry.zip64Local ? 20 : 0);
    header += name;
    if (entry.zip64Local) {
        put16(header, 0x0001);
        put16(header, 16);
        put64(header, 0);
        put64(header, 0);
    }
    put(header);
    dataStart_ = flushed_ + buffer_.size();
    entries_.push_back(std::move(entry));
}

void ZipFileWriter::endEntry(std::uint32_t crc, std::uint64_t size) {
    Entry& entry = entries_.back();
    entry.crc = crc;
    entry.size = size;
    entry.compressed = flushed_ + buffer_.size() - dataStart_;
    if (!entry.zip64Local && (size >= limits_.field || entry.compressed >= limits_.field)) {
        errno = EFBIG;
        fail("cannot hold " + entry.name + ": its size outgrew the local header");
    }
    std::string fields;
    put32(fields, crc);
    if (!entry.zip64Local) {
        put32(fields, static_cast<std::uint32_t>(entry.compressed));
        put32(fields, static_cast<std::uint32_t>(size));
        patch(entry.offset + 14, fields);
        return;
    }
    patch(entry.offset + 14, fields);
    std::string sizes;
    put64(sizes, size);
    put64(sizes, entry.compressed);
    patch(entry.offset + 30 + entry.name.size() + 4, sizes);
}

std::uint64_t ZipFileWriter::finish() {
    const std::uint64_t directoryStart = flushed_ + buffer_.size();
    for (const Entry& entry : entries_) {
        const bool bigSize = entry.zip64Local || entry.size >= limits_.field;
        const bool bigCompressed = entry.zip64Local || entry.compressed >= limits_.field;
        const bool bigOffset = entry.offset >= limits_.field;
        std::string extra;
        if (bigSize) put64(extra, entry.size);
        if (bigCompressed) put64(extra, entry.compressed);
        if (bigOffset) put64(extra, entry.offset);
        const std::uint16_t version = extra.empty() ? 20 : 45;
        std::string record;
        put32(record, 0x02014b50);
        put16(record, version);  // made by: MS-DOS attributes, so every entry is a plain file
        put16(record, version);
        put16(record, entry.flags);
        put16(record, entry.method);
        put16(record, fixedTime);
        put16(record, fixedDate);
        put32(record, entry.crc);
        put32(record, bigCompressed ? 0xFFFFFFFF : static_cast<std::uint32_t>(entry.compressed));
        put32(record, bigSize ? 0xFFFFFFFF : static_cast<std::uint32_t>(entry.size));
        put16(record, static_cast<std::uint16_t>(entry.name.size()));
        put16(record, static_cast<std::uint16_t>(extra.empty() ? 0 : extra.size() + 4));
        put16(record, 0);  // comment
        put16(record, 0);  // disk
        put16(record, 0);  // internal attributes
        put32(record, 0);  // external attributes
        put32(record, bigOffset ? 0xFFFFFFFF : static_cast<std::uint32_t>(entry.offset));
        record += entry.name;
        if (!extra.empty()) {
            put16(record, 0x0001);
            put16(record, static_cast<std::uint16_t>(extra.size()));
            record += extra;
        }
        put(record);
    }
    const std::uint64_t directoryEnd = flushed_ + buffer_.size();
    const std::uint64_t directorySize = directoryEnd - directoryStart;
    const std::uint64_t count = entries_.size();
    const bool zip64 = count >= limits_.entries || directoryStart >= limits_.field ||
                       directorySize >= limits_.field;
    std::string end;
    if (zip64) {
        put32(end, 0x06064b50);
        put64(end, 44);
        put16(end, 45);
        put16(end, 45);
        put32(end, 0);
        put32(end, 0);
        put64(end, count);
        put64(end, count);
        put64(end, directorySize);
        put64(end, directoryStart);
        put32(end, 0x07064b50);
        put32(end, 0);
        put64(end, directoryEnd);
        put32(end, 1);
    }
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
    put16(end, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
    put32(end, zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(directorySize));
    put32(end, zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(directoryStart));
    put16(end, 0);
    put(end);
    flush();
    if (::fsync(file_) != 0) fail("cannot be written");
    if (::close(file_) != 0) {
        file_ = -1;
        fail("cannot be written");
    }
    file_ = -1;
    return flushed_;
}
