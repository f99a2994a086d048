#include "integrity/checksum.h"

#include <libdeflate.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "core/format.h"
#include "core/log.h"
#include "core/text.h"
#include "integrity/crc_combine.h"

namespace {

constexpr std::size_t blockSize = 1 << 20;
constexpr std::align_val_t pageAlignment{4096};

// Files at least this large are hashed in parts on several threads at once, each part at least
// `minimumPart` long: one big archive at the end of a scan would otherwise keep a single core
// busy while the others wait.
constexpr std::uint64_t splitThreshold = std::uint64_t{64} << 20;
constexpr std::uint64_t minimumPart = std::uint64_t{32} << 20;

// Read blocks are lent out and returned rather than made per file: a scan hashes thousands of
// files on each worker, and a fresh megabyte per file would cost an allocation and its page faults
// every time. (Not thread_local: MinGW's thread-local destructors crash threads that end.) The
// list never holds more blocks than were ever in use at once.
struct SpareBlocks {
    std::mutex lock;
    std::vector<unsigned char*> blocks;
};

// Never destroyed: a detached patch run may still hash while the process ends.
SpareBlocks& spareBlocks() {
    static SpareBlocks* const spare = new SpareBlocks;
    return *spare;
}

using Block = std::unique_ptr<unsigned char, BlockReturn>;

Block lendBlock() {
    SpareBlocks& spare = spareBlocks();
    {
        const std::lock_guard lock(spare.lock);
        if (!spare.blocks.empty()) {
            Block block(spare.blocks.back());
            spare.blocks.pop_back();
            return block;
        }
    }
    return Block(static_cast<unsigned char*>(::operator new(blockSize, pageAlignment)));
}

using File = std::unique_ptr<std::FILE, FileClose>;

File openForHashing(const std::string& path) {
    File file(platform::openForReading(path));
    // Unbuffered reads straight into a page-aligned block: the kernel copies from the page cache
    // several times faster into an aligned buffer than into malloc's usual offset.
    if (file) std::setvbuf(file.get(), nullptr, _IONBF, 0);
    return file;
}

bool seekTo(std::FILE* file, std::uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

struct Part {
    std::uint32_t crc = 0;
    std::uint64_t bytes = 0;
    bool whole = true;  // read as far as it should
};

// Helper threads of all hashFile calls together stay below the number of processors, so a scan
// whose every worker meets a big file neither multiplies its threads nor its read buffers.
std::atomic<unsigned> helpersRunning{0};

unsigned reserveHelpers(unsigned wanted, unsigned most) {
    unsigned running = helpersRunning.load();
    for (;;) {
        const unsigned granted = running >= most ? 0 : std::min(wanted, most - running);
        if (granted == 0) return 0;
        if (helpersRunning.compare_exchange_weak(running, running + granted)) return granted;
    }
}

// CRC of up to `limit` bytes from the file's current position; stops early at the end.
Part hashStream(std::FILE* file, std::uint64_t limit, std::uint32_t crc = 0) {
    const Block lent = lendBlock();
    unsigned char* const block = lent.get();
    Part part{crc, 0};
    while (part.bytes < limit) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, limit - part.bytes));
        const std::size_t got = std::fread(block, 1, want, file);
        if (got > 0) part.crc = libdeflate_crc32(part.crc, block, got);
        part.bytes += got;
        if (got < want) break;
    }
    return part;
}

constexpr std::uint64_t toEnd = ~std::uint64_t{0};

// Hashes a big file in `partCount` parts: the first through `file`, which has read `first`
// already, the others on helper threads with their own handles. Nothing when a part could not be
// read whole (the file changed meanwhile); the caller then falls back to one pass.
std::optional<std::uint32_t> hashInParts(const std::string& path, std::FILE* file,
                                         std::uint64_t size, unsigned partCount, Part first) {
    // Parts begin on block boundaries so every read stays a whole, aligned block.
    const std::uint64_t partLength = (size / partCount + blockSize - 1) / blockSize * blockSize;
    std::vector<Part> parts(partCount);
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < partCount; ++i) {
        const std::uint64_t start = partLength * i;
        const bool last = i + 1 == partCount;
        try {
            helpers.emplace_back([&, i, start, last] {
                try {
                    File own = openForHashing(path);
                    if (!own || !seekTo(own.get(), start)) {
                        parts[i].whole = false;
                        return;
                    }
                    parts[i] = hashStream(own.get(), last ? toEnd : partLength);
                    parts[i].whole = last || parts[i].bytes == partLength;
                } catch (...) {
                    parts[i].whole = false;  // no buffer to be had
                }
            });
        } catch (const std::system_error&) {
            parts[i].whole = false;  // no thread to be had: the caller's one pass still works
        }
    }
    parts[0] = hashStream(file, partLength - first.bytes, first.crc);
    parts[0].bytes += first.bytes;
    for (auto& helper : helpers) helper.join();

    if (parts[0].bytes != partLength) return std::nullopt;
    std::uint32_t crc = parts[0].crc;
    for (unsigned i = 1; i < partCount; ++i) {
        if (!parts[i].whole) return std::nullopt;
        crc = crc32Combine(crc, parts[i].crc, parts[i].bytes);
    }
    return crc;
}

struct Hashed {
    std::uint32_t crc = 0;
    bool readWell = false;
};

// The rest of the file after its first block, which `first` stands for.
Hashed hashRest(const std::string& path, std::FILE* file, std::optional<std::uint64_t> size,
                Part first) {
    if (!size) {
        std::error_code error;
        size = std::filesystem::file_size(toPath(path), error);
        if (error) size.reset();
    }
    if (size && *size >= splitThreshold) {
        const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
        const auto wanted =
            static_cast<unsigned>(std::min<std::uint64_t>({processors, *size / minimumPart, 16}));
        if (const unsigned helpers = reserveHelpers(wanted - 1, processors - 1); helpers > 0) {
            const auto inParts = hashInParts(path, file, *size, helpers + 1, first);
            helpersRunning -= helpers;
            if (inParts) return {*inParts, !std::ferror(file)};
            // The file changed while it was read: hash it again in one pass.
            if (!seekTo(file, 0)) return {};
            std::clearerr(file);
            const std::uint32_t crc = hashStream(file, toEnd).crc;
            return {crc, !std::ferror(file)};
        }
    }
    const std::uint32_t crc = hashStream(file, toEnd, first.crc).crc;
    return {crc, !std::ferror(file)};
}

}  // namespace

void BlockReturn::operator()(unsigned char* block) const {
    SpareBlocks& spare = spareBlocks();
    const std::lock_guard lock(spare.lock);
    spare.blocks.push_back(block);
}

FileBeingHashed openToHash(const std::string& path) {
    FileBeingHashed hashing{path, openForHashing(path), {}, {}, 0};
    if (!hashing.file) {
        logLine("Error hashing file:" + path);
        return hashing;
    }
    hashing.stamp = platform::fileStamp(hashing.file.get());
    if (hashing.stamp && hashing.stamp->size > blockSize)
        platform::adviseSequential(hashing.file.get());
    return hashing;
}

void readFirstBlock(FileBeingHashed& hashing) {
    if (!hashing.file || hashing.first) return;
    hashing.first = lendBlock();
    hashing.firstBytes = std::fread(hashing.first.get(), 1, blockSize, hashing.file.get());
}

std::uint32_t finishHash(FileBeingHashed& hashing) {
    if (!hashing.file) {
        hashing.stamp.reset();
        return 0;
    }
    readFirstBlock(hashing);
    std::FILE* const file = hashing.file.get();
    const Part first{continueChecksum(0, hashing.first.get(), hashing.firstBytes),
                     hashing.firstBytes};
    // Most files end in their first block.
    hashing.first.reset();
    Hashed hashed{first.crc, !std::ferror(file)};
    if (first.bytes == blockSize) {
        hashed = hashRest(hashing.path, file,
                          hashing.stamp ? std::optional(hashing.stamp->size) : std::nullopt, first);
    }
    hashing.file.reset();
    if (!hashed.readWell) hashing.stamp.reset();
    return hashed.crc;
}

std::uint32_t hashFile(const std::string& path) {
    FileBeingHashed hashing = openToHash(path);
    return finishHash(hashing);
}

std::uint32_t hashFile(const std::string& path, std::optional<platform::FileStamp>& stamp) {
    FileBeingHashed hashing = openToHash(path);
    const std::uint32_t crc = finishHash(hashing);
    stamp = hashing.stamp;
    return crc;
}

std::uint32_t continueChecksum(std::uint32_t crc, const void* data, std::size_t size) {
    // libdeflate answers a null buffer with the initial value, whatever `crc` was.
    return size == 0 ? crc : libdeflate_crc32(crc, data, size);
}

std::string formatChecksum(std::uint32_t checksum) {
    return lowerHex(checksum);
}
