#include "integrity/scan_feed.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Claim {
    std::size_t index;
    bool firstLook;
};

struct ReadFile {
    std::size_t index;
    FileBeingHashed file;
};

class Feed {
public:
    Feed(std::size_t fileCount, const ScanSteps& steps, unsigned readers)
        : fileCount_(fileCount), steps_(steps), readyLimit_(std::max(1u, readers)) {}

    void worker() {
        for (;;) {
            std::unique_lock lock(lock_);
            std::optional<Claim> claim;
            workerWake_.wait(
                lock, [&] { return !ready_.empty() || (claim = claimNext()) || workersDone(); });
            if (!ready_.empty()) {
                ReadFile read = std::move(ready_.front());
                ready_.pop_front();
                lock.unlock();
                readerWake_.notify_one();
                steps_.finish(read.index, read.file);
            } else if (claim) {
                lock.unlock();
                const auto started = Clock::now();
                if (auto file = open(*claim)) {
                    readFirstBlock(*file);
                    if (fromDisk(Clock::now() - started, file->firstBytes)) wakeReaders();
                    steps_.finish(claim->index, *file);
                }
            } else {
                lock.unlock();
                // Every file is done: the other workers and any reader still waiting end too.
                workerWake_.notify_all();
                readerWake_.notify_all();
                return;
            }
        }
    }

    void reader() {
        int cachedInARow = 0;
        for (;;) {
            std::unique_lock lock(lock_);
            if (cachedInARow == cachedStreak) {
                // Everything comes from the cache: the workers are as fast without this thread,
                // and faster without handing files over. It waits until a worker meets the disk.
                const std::uint64_t seen = diskReads_;
                ++parked_;
                readerWake_.wait(lock, [&] { return diskReads_ != seen || claimsDone(); });
                --parked_;
                cachedInARow = 0;
            }
            std::optional<Claim> claim;
            readerWake_.wait(lock, [&] {
                return (ready_.size() < readyLimit_ && (claim = claimNext())) || claimsDone();
            });
            if (!claim) {
                lock.unlock();
                readerWake_.notify_all();
                workerWake_.notify_all();
                return;
            }
            ++inReaders_;
            lock.unlock();
            const auto started = Clock::now();
            auto file = open(*claim);
            if (file) readFirstBlock(*file);
            const bool cached = !file || !fromDisk(Clock::now() - started, file->firstBytes);
            cachedInARow = cached ? cachedInARow + 1 : 0;
            lock.lock();
            --inReaders_;
            if (file) ready_.push_back({claim->index, std::move(*file)});
            lock.unlock();
            // Without a file for them, the workers may be waiting for this reader to finish.
            if (file) {
                workerWake_.notify_one();
            } else {
                workerWake_.notify_all();
            }
        }
    }

private:
    using Clock = std::chrono::steady_clock;

    // Whether opening a file and reading its first block waited for the disk: far longer than a
    // copy from the cache takes.
    static bool fromDisk(Clock::duration took, std::size_t bytes) {
        return took > std::chrono::microseconds(50) + std::chrono::nanoseconds(bytes);
    }
    // Reads from the cache in a row after which a reader stops.
    static constexpr int cachedStreak = 32;

    void wakeReaders() {
        {
            const std::lock_guard lock(lock_);
            if (parked_ == 0) return;
            ++diskReads_;
        }
        readerWake_.notify_all();
    }

    // Under the lock.
    std::optional<Claim> claimNext() {
        if (next_ < fileCount_) {
            ++looking_;
            return Claim{next_++, true};
        }
        if (looking_ > 0) return std::nullopt;  // a large file may still join the list
        if (!sorted_) {
            std::ranges::sort(large_);
            sorted_ = true;
        }
        if (nextLarge_ < large_.size()) return Claim{large_[nextLarge_++].second, false};
        return std::nullopt;
    }
    bool claimsDone() const {
        return next_ == fileCount_ && looking_ == 0 && sorted_ && nextLarge_ == large_.size();
    }
    bool workersDone() const { return claimsDone() && ready_.empty() && inReaders_ == 0; }

    // The file opened, unless it is done already or waits for the large files' turn.
    std::optional<FileBeingHashed> open(const Claim& claim) {
        auto file = steps_.open(claim.index, claim.firstLook);
        if (!claim.firstLook) return file;
        const bool large = file && file->stamp && file->stamp->size >= largeFileBytes;
        bool lastLook = false;
        {
            const std::lock_guard lock(lock_);
            if (large) large_.emplace_back(platform::diskOrder(*file->stamp), claim.index);
            --looking_;
            lastLook = looking_ == 0 && next_ == fileCount_;
        }
        if (lastLook) {
            workerWake_.notify_all();
            readerWake_.notify_all();
        }
        // A large file is closed until its turn: its stamp is taken again then.
        if (large) return std::nullopt;
        return file;
    }

    const std::size_t fileCount_;
    const ScanSteps& steps_;
    const std::size_t readyLimit_;

    std::mutex lock_;
    std::condition_variable workerWake_;
    std::condition_variable readerWake_;
    std::deque<ReadFile> ready_;
    std::size_t next_ = 0;
    std::size_t looking_ = 0;  // first looks under way: each may add a large file
    std::size_t inReaders_ = 0;
    unsigned parked_ = 0;          // readers waiting for a read from the disk
    std::uint64_t diskReads_ = 0;  // reads from the disk that woke them
    std::vector<std::pair<std::uint64_t, std::size_t>> large_;  // (disk order, index)
    bool sorted_ = false;
    std::size_t nextLarge_ = 0;
};

}  // namespace

void runScanFeed(std::size_t fileCount, const ScanSteps& steps, unsigned workers,
                 unsigned readers) {
    // A few files are not worth a thread each.
    readers = static_cast<unsigned>(std::min<std::size_t>(readers, fileCount / 8));
    Feed feed(fileCount, steps, readers);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < readers + workers - 1; ++i) {
        try {
            if (i < readers) {
                threads.emplace_back([&feed] { feed.reader(); });
            } else {
                threads.emplace_back([&feed] { feed.worker(); });
            }
        } catch (const std::system_error&) {
            break;  // the threads that did start, and this one, do the work
        }
    }
    feed.worker();
    for (std::thread& thread : threads) thread.join();
}
