#include "publish/tree_hashes.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

#include "integrity/checksum.h"
#include "integrity/thread_pool.h"
#include "platform/platform.h"
#include "publish/progress_line.h"

namespace {

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

}  // namespace

std::vector<std::uint32_t> hashTree(const std::vector<TreeFile>& files, const std::string& step,
                                    ProgressLine& progress) {
    std::uint64_t total = 0;
    for (const TreeFile& file : files) total += file.size;
    progress.begin(step, files.size(), total);
    std::vector<std::uint32_t> checksums(files.size());
    std::vector<char> unread(files.size(), 0);
    {
        ThreadPool pool(std::max(1u, std::thread::hardware_concurrency()));
        for (std::size_t i = 0; i < files.size(); ++i) {
            pool.enqueue([i, &files, &checksums, &unread, &progress] {
                std::optional<platform::FileStamp> stamp;
                checksums[i] = hashFile(files[i].path, stamp);
                // Without a stamp the file could not be opened, examined or read to its end.
                unread[i] = !stamp;
                progress.advance(1, files[i].size);
            });
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i)
        if (unread[i]) throw std::runtime_error(files[i].path + " cannot be read");
    return checksums;
}

std::uint32_t copyWithChecksum(const std::string& from, const std::string& to) {
    File in(std::fopen(from.c_str(), "rb"));
    if (!in) throw std::runtime_error(from + " cannot be read");
    File out(std::fopen(to.c_str(), "wb"));
    if (!out) throw std::runtime_error(to + " cannot be written");
    std::string block(std::size_t{1} << 20, '\0');
    std::uint32_t crc = 0;
    for (;;) {
        const std::size_t got = std::fread(block.data(), 1, block.size(), in.get());
        if (got > 0) {
            crc = continueChecksum(crc, block.data(), got);
            if (std::fwrite(block.data(), 1, got, out.get()) != got)
                throw std::runtime_error(to + " cannot be written");
        }
        if (got < block.size()) break;
    }
    if (std::ferror(in.get())) throw std::runtime_error(from + " cannot be read");
    if (std::fclose(out.release()) != 0) throw std::runtime_error(to + " cannot be written");
    return crc;
}
