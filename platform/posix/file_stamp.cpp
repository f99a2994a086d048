#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {
namespace {

std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * fileTimeUnitsPerSecond + time.tv_nsec;
}

std::optional<FileStamp> stampOf(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) return std::nullopt;
    return FileStamp{static_cast<std::uint64_t>(status.st_size), nanoseconds(status.st_mtim),
                     nanoseconds(status.st_ctim), static_cast<std::uint64_t>(status.st_ino),
                     static_cast<std::uint64_t>(status.st_dev)};
}

}  // namespace

std::optional<FileStamp> fileStamp(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return std::nullopt;
    return stampOf(status);
}

std::optional<FileStamp> fileStamp(std::FILE* file) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0) return std::nullopt;
    return stampOf(status);
}

std::optional<std::uint64_t> volumeOf(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(status.st_dev);
}

std::uint64_t diskOrder(const FileStamp& stamp) {
    // File systems that place data near its inode (ext4's block groups) hand out inode numbers
    // in the order of their position.
    return stamp.index;
}

std::FILE* openForReading(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

void adviseSequential(std::FILE* file) {
    // Doubles the read-ahead window for this file; a hint, so a refusal changes nothing.
    posix_fadvise(fileno(file), 0, 0, POSIX_FADV_SEQUENTIAL);
}

std::int64_t fileTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return nanoseconds(now);
}

std::FILE* createNewFile(const std::string& path) {
    // O_EXCL also refuses a link at `path`, dangling or not; O_NOFOLLOW says so twice.
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "wb");
    if (!file) close(fd);
    return file;
}

std::FILE* openPlainToAppend(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status {};
    std::FILE* file = nullptr;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) file = fdopen(fd, "ab");
    if (!file) close(fd);
    return file;
}

bool isLink(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

std::optional<std::uint64_t> freeSpace(const std::string& path) {
    struct statvfs volume {};
    if (statvfs(path.c_str(), &volume) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize;
}

}  // namespace platform
