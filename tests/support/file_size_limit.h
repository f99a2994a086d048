// A full disk for one process, without devices or mounts: files cannot grow past the limit, and a
// write beyond it fails (EFBIG) instead of raising SIGXFSZ. POSIX only.
#pragma once

#ifndef _WIN32
#include <sys/resource.h>

#include <csignal>
#include <cstdint>

class FileSizeLimit {
public:
    explicit FileSizeLimit(std::uint64_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit limit = old_;
        limit.rlim_cur = static_cast<rlim_t>(bytes);
        active_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &old_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return active_; }

private:
    rlimit old_{};
    bool active_ = false;
};
#endif
