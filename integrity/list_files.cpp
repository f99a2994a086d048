#include <condition_variable>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <variant>

#include "core/log.h"
#include "core/text.h"
#include "integrity/scan.h"

namespace fs = std::filesystem;

namespace {

// Folders read at once, this thread among them: with a cold cache the stamps of their files too
// are reads of the disk, which serves several at once about as fast as one.
constexpr unsigned folderReaders = 8;

bool isNotFound(const std::error_code& error) {
    return error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory;
}

struct File {
    std::string relative;
    std::optional<platform::FileStamp> stamp;
};

// One folder of the walk: its files and subfolders in the order the system lists them.
struct Folder {
    fs::path path;
    std::string relative;
    std::vector<std::variant<File, Folder*>> entries;
    int fileCount = 0;
};

// Folders are read on several threads at once; the list comes out in the order a walk on one
// thread would give.
class Walk {
public:
    Walk(const fs::path& root, bool takeStamps)
        : rootPath_(root), rootText_(root.native()), takeStamps_(takeStamps) {
        const bool endsInSeparator =
            !rootText_.empty() && (rootText_.back() == fs::path::preferred_separator ||
                                   rootText_.back() == static_cast<fs::path::value_type>('/'));
        prefixLength_ = rootText_.size() + (rootText_.empty() || endsInSeparator ? 0 : 1);
        root_ = add(root, "");
    }

    void run() {
        for (;;) {
            Folder* folder = nullptr;
            {
                std::unique_lock lock(lock_);
                wake_.wait(lock, [this] { return !waiting_.empty() || reading_ == 0; });
                if (waiting_.empty()) return;
                folder = waiting_.back();
                waiting_.pop_back();
                ++reading_;
            }
            try {
                read(*folder);
            } catch (...) {
                const std::lock_guard lock(lock_);
                if (!failure_) failure_ = std::current_exception();
            }
            bool walked = false;
            {
                const std::lock_guard lock(lock_);
                walked = --reading_ == 0 && waiting_.empty();
            }
            if (walked) wake_.notify_all();
        }
    }

    // Once the caller's run has returned, no helper starts any more.
    void joinHelpers() {
        for (std::thread& helper : helpers_) helper.join();
    }

    // The walk's files in order, and the number of files per folder.
    void collect(std::vector<std::string>& files, std::map<std::string, int>& folderCounts,
                 std::vector<std::optional<platform::FileStamp>>* stamps) {
        if (failure_) std::rethrow_exception(failure_);
        std::size_t total = 0;
        for (const auto& folder : folders_) total += static_cast<std::size_t>(folder->fileCount);
        files.reserve(files.size() + total);
        if (stamps) stamps->reserve(stamps->size() + total);
        // An explicit stack: a deep tree cannot overflow the call stack.
        std::vector<std::pair<Folder*, std::size_t>> stack{{root_, 0}};
        while (!stack.empty()) {
            auto& [folder, next] = stack.back();
            if (next == folder->entries.size()) {
                if (folder->fileCount > 0) folderCounts[folder->relative] += folder->fileCount;
                stack.pop_back();
                continue;
            }
            auto& entry = folder->entries[next++];
            if (auto* file = std::get_if<File>(&entry)) {
                files.push_back(std::move(file->relative));
                if (stamps) stamps->push_back(file->stamp);
            } else {
                stack.emplace_back(std::get<Folder*>(entry), 0);
            }
        }
    }

private:
    Folder* add(const fs::path& path, std::string relative) {
        Folder* folder = nullptr;
        {
            const std::lock_guard lock(lock_);
            folder = folders_.emplace_back(new Folder{path, std::move(relative), {}, 0}).get();
            waiting_.push_back(folder);
            // Helpers start as folders wait for them: a small tree needs none.
            if (waiting_.size() > 1 && helpers_.size() + 1 < folderReaders) {
                try {
                    helpers_.emplace_back([this] { run(); });
                } catch (const std::system_error&) {
                    // fewer folders at once
                }
            }
        }
        wake_.notify_one();
        return folder;
    }

    // Entries come back as the root's text joined with their relative path, so the relative
    // path is a plain suffix; no per-file path arithmetic.
    std::string relativeText(const fs::path& path) const {
        const auto& native = path.native();
        if (native.size() > prefixLength_ && native.compare(0, rootText_.size(), rootText_) == 0)
            return nativePathText(native.substr(prefixLength_));
        return nativePathText(path.lexically_relative(rootPath_).native());
    }

    // Not recursive_directory_iterator: that one gives up the whole walk at the first folder it
    // cannot open.
    void read(Folder& folder) {
        std::error_code error;
        fs::directory_iterator entries(folder.path, error);
        if (error) {
            logLine("Error listing folder:" + pathText(folder.path));
            return;
        }
        while (entries != fs::directory_iterator()) {
            const fs::directory_entry entry = *entries;
            entries.increment(error);
            if (error) {
                // The iterator is at its end now: the rest of this folder is lost, not the walk.
                logLine("Error listing folder:" + pathText(folder.path));
            }
            error.clear();
            const bool isLink = entry.is_symlink(error);
            if (!error && !isLink && entry.is_directory(error)) {
                folder.entries.emplace_back(add(entry.path(), relativeText(entry.path())));
                continue;
            }
            if (!error && entry.is_regular_file(error)) {
                // While the folder's part of the disk is fresh in the cache.
                folder.entries.emplace_back(
                    File{relativeText(entry.path()),
                         takeStamps_ ? platform::fileStamp(pathText(entry.path())) : std::nullopt});
                ++folder.fileCount;
            } else if (error && !isNotFound(error)) {
                // A link that loops, or an entry whose type the system will not tell.
                logLine("Error listing file:" + pathText(entry.path()));
            }
        }
    }

    const fs::path rootPath_;
    const fs::path::string_type rootText_;
    std::size_t prefixLength_ = 0;
    const bool takeStamps_;

    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<std::unique_ptr<Folder>> folders_;
    std::vector<Folder*> waiting_;
    int reading_ = 0;
    Folder* root_ = nullptr;
    std::exception_ptr failure_;
    std::vector<std::thread> helpers_;
};

}  // namespace

void listFiles(const std::string& root, std::vector<std::string>& files,
               std::map<std::string, int>& folderCounts,
               std::vector<std::optional<platform::FileStamp>>* stamps) {
    Walk walk(toPath(root), stamps != nullptr);
    walk.run();
    walk.joinHelpers();
    walk.collect(files, folderCounts, stamps);
}
