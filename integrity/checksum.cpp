#include "integrity/checksum.h"

#include <libdeflate.h>

#include <cstdio>
#include <memory>
#include <new>

#include "core/format.h"
#include "core/log.h"

namespace {

constexpr std::size_t blockSize = 1 << 20;
constexpr std::align_val_t pageAlignment{4096};

struct AlignedFree {
    void operator()(unsigned char* block) const { ::operator delete(block, pageAlignment); }
};

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::uint32_t hashFile(const std::string& path) {
    std::unique_ptr<std::FILE, FileClose> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        logLine("Error hashing file:" + path);
        return 0;
    }
    // Unbuffered reads straight into a page-aligned block: the kernel copies from the page cache
    // several times faster into an aligned buffer than into malloc's usual offset.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::unique_ptr<unsigned char, AlignedFree> block(
        static_cast<unsigned char*>(::operator new(blockSize, pageAlignment)));
    std::uint32_t crc = 0;
    for (;;) {
        const std::size_t got = std::fread(block.get(), 1, blockSize, file.get());
        if (got > 0) crc = libdeflate_crc32(crc, block.get(), got);
        if (got < blockSize) break;
    }
    return crc;
}

std::string formatChecksum(std::uint32_t checksum) { return lowerHex(checksum); }
