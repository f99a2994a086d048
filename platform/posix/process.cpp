#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

bool secureRandom(void* buffer, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const ssize_t got = getrandom(bytes, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

void startWriteback(std::FILE* file, std::uint64_t offset) {
    if (std::fflush(file) != 0) return;
#ifdef __linux__
    sync_file_range(fileno(file), static_cast<off_t>(offset), 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
#endif
}

bool flushFileToDisk(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

void exitProcess(int status) {
    if (processEndObserver) processEndObserver(status);
    std::fflush(nullptr);
    std::_Exit(status);
}

void terminateProcess(int status) {
    if (processEndObserver) processEndObserver(status);
    std::_Exit(status);
}

}  // namespace platform
