// Writes the local manifest's lines shortly after their files are done, gathered for a moment: a
// write per line would cost a system call per file, more than checking a small file takes. With
// its lines go their records into `scannedFiles`, so a record there always has its line in the
// file; a report page opened during a scan sees whole lines only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "integrity/scan.h"

class ManifestWriter {
public:
    // Lines go to `manifest`, records (when `keepRecords`) to `scannedFiles`, both under
    // `scanLock`.
    ManifestWriter(std::ofstream& manifest, std::mutex& scanLock, bool keepRecords);
    // Writes what is left.
    ~ManifestWriter();
    ManifestWriter(const ManifestWriter&) = delete;
    ManifestWriter& operator=(const ManifestWriter&) = delete;

    void add(const std::string& line, ScannedFile record);

    // How long lines gather before they are written.
    static constexpr std::chrono::milliseconds gathering{10};

private:
    void writeLoop();
    void writePending(std::unique_lock<std::mutex>& lock);

    std::ofstream& manifest_;
    std::mutex& scanLock_;
    const bool keepRecords_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::string lines_;
    std::vector<ScannedFile> records_;
    bool stop_ = false;
    std::thread writer_;
};
