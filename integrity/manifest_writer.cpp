#include "integrity/manifest_writer.h"

#include <system_error>
#include <utility>

ManifestWriter::ManifestWriter(std::ofstream& manifest, std::mutex& scanLock, bool keepRecords)
    : manifest_(manifest), scanLock_(scanLock), keepRecords_(keepRecords) {
    try {
        writer_ = std::thread([this] { writeLoop(); });
    } catch (const std::system_error&) {
        // Without its thread every line is written as it comes.
    }
}

ManifestWriter::~ManifestWriter() {
    {
        const std::lock_guard lock(lock_);
        stop_ = true;
    }
    wake_.notify_one();
    if (writer_.joinable()) {
        writer_.join();
    } else {
        std::unique_lock lock(lock_);
        writePending(lock);
    }
}

void ManifestWriter::add(const std::string& line, ScannedFile record) {
    std::unique_lock lock(lock_);
    const bool first = lines_.empty();
    lines_ += line;
    lines_ += '\n';
    if (keepRecords_) records_.push_back(std::move(record));
    if (!writer_.joinable()) {
        writePending(lock);
    } else if (first) {
        lock.unlock();
        wake_.notify_one();
    }
}

void ManifestWriter::writeLoop() {
    std::unique_lock lock(lock_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !lines_.empty(); });
        wake_.wait_for(lock, gathering, [this] { return stop_; });
        writePending(lock);
        if (stop_ && lines_.empty()) return;
    }
}

void ManifestWriter::writePending(std::unique_lock<std::mutex>& lock) {
    std::string lines = std::move(lines_);
    std::vector<ScannedFile> records = std::move(records_);
    lines_.clear();
    records_.clear();
    lock.unlock();
    {
        const std::lock_guard guard(scanLock_);
        manifest_ << lines;
        manifest_.flush();
        for (ScannedFile& record : records) scannedFiles.push_back(std::move(record));
    }
    lock.lock();
}
