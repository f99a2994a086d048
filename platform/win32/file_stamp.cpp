#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <memory>
#include <type_traits>

#include "platform/platform.h"

namespace platform {
namespace {

struct HandleClose {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleClose>;

std::uint64_t joined(DWORD high, DWORD low) {
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

std::optional<FileStamp> stampOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandle(handle, &info) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return std::nullopt;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return std::nullopt;
    // ChangeTime also moves when only the times are set, which LastWriteTime alone would miss.
    return FileStamp{joined(info.nFileSizeHigh, info.nFileSizeLow), basic.LastWriteTime.QuadPart,
                     basic.ChangeTime.QuadPart, joined(info.nFileIndexHigh, info.nFileIndexLow),
                     info.dwVolumeSerialNumber};
}

}  // namespace

std::optional<FileStamp> fileStamp(const std::string& path) {
    // Attributes only and every sharing mode: a game holding the file open does not refuse this.
    const HANDLE opened = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return std::nullopt;
    const Handle handle(opened);
    return stampOf(handle.get());
}

std::optional<FileStamp> fileStamp(std::FILE* file) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) return std::nullopt;
    return stampOf(handle);
}

std::optional<std::uint64_t> volumeOf(const std::string& path) {
    // Backup semantics let a folder be opened too.
    const HANDLE opened = CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) return std::nullopt;
    const Handle handle(opened);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle.get(), &info)) return std::nullopt;
    return info.dwVolumeSerialNumber;
}

std::uint64_t diskOrder(const FileStamp& stamp) {
    // NTFS's file index is the file's record in the master file table, with a reuse count in its
    // top 16 bits that would otherwise decide the order.
    return stamp.index & 0xFFFF'FFFF'FFFFull;
}

std::FILE* openForReading(const std::string& path) {
    // "S": FILE_FLAG_SEQUENTIAL_SCAN, which the cache manager answers with a larger read-ahead.
    return std::fopen(path.c_str(), "rbS");
}

void adviseSequential(std::FILE*) {}

std::int64_t fileTimeNow() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>(joined(now.dwHighDateTime, now.dwLowDateTime));
}

namespace {

// The handle as a C stream; the handle is closed when that fails.
std::FILE* streamOf(HANDLE handle, int flags, const char* mode) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, mode);
    if (!file) _close(fd);
    return file;
}

}  // namespace

std::FILE* createNewFile(const std::string& path) {
    // CREATE_NEW fails on anything at the name; opening the reparse point itself means a link
    // planted there is never followed to create its target.
    const HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return streamOf(handle, _O_WRONLY | _O_BINARY, "wb");
}

std::FILE* openPlainToAppend(const std::string& path) {
    const HANDLE handle =
        CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(handle);
        return nullptr;
    }
    return streamOf(handle, _O_WRONLY | _O_APPEND | _O_BINARY, "ab");
}

bool isLink(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::optional<std::uint64_t> freeSpace(const std::string& path) {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExA(path.c_str(), &available, nullptr, nullptr)) return std::nullopt;
    return available.QuadPart;
}

}  // namespace platform
