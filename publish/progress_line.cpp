#include "publish/progress_line.h"

#include <unistd.h>

#include <cstdio>

#include "publish/game_tree.h"

ProgressLine::ProgressLine() : ProgressLine(isatty(STDERR_FILENO) == 1) {}

ProgressLine::ProgressLine(bool shown) : shown_(shown) {}

ProgressLine::~ProgressLine() {
    clear();
}

void ProgressLine::begin(const std::string& step, std::uint64_t files, std::uint64_t bytes) {
    {
        const std::lock_guard lock(lock_);
        step_ = step;
        totalFiles_ = files;
        totalBytes_ = bytes;
        files_ = 0;
        bytes_ = 0;
    }
    draw(true);
}

void ProgressLine::advance(std::uint64_t files, std::uint64_t bytes) {
    files_ += files;
    bytes_ += bytes;
    draw(false);
}

void ProgressLine::draw(bool force) {
    if (!shown_) return;
    const std::lock_guard lock(lock_);
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - drawn_ < std::chrono::milliseconds(100)) return;
    drawn_ = now;
    const std::uint64_t bytes = bytes_;
    const int percent =
        totalBytes_ > 0 ? static_cast<int>(bytes * 100 / totalBytes_) : (totalFiles_ ? 0 : 100);
    std::fprintf(stderr, "\r\033[K%s: %llu of %llu files, %s of %s (%d%%)", step_.c_str(),
                 static_cast<unsigned long long>(files_.load()),
                 static_cast<unsigned long long>(totalFiles_), byteCount(bytes).c_str(),
                 byteCount(totalBytes_).c_str(), percent);
    std::fflush(stderr);
    onScreen_ = true;
}

void ProgressLine::clear() {
    if (!shown_) return;
    const std::lock_guard lock(lock_);
    if (onScreen_) std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    onScreen_ = false;
}
