#include "publish/server_files.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "core/text.h"
#include "integrity/checksum.h"
#include "net/download.h"
#include "net/fetch.h"
#include "patch/update_from_web.h"
#include "platform/platform.h"
#include "publish/server_folder.h"

namespace fs = std::filesystem;

namespace {

std::optional<ServedFile> fileFacts(const std::string& path) {
    std::error_code error;
    const auto size = fs::file_size(toPath(path), error);
    if (error) return std::nullopt;
    return ServedFile{true, formatChecksum(hashFile(path)), size};
}

class LocalServer : public ServerFiles {
public:
    explicit LocalServer(const std::string& root)
        : root_(fs::absolute(toPath(root)).lexically_normal()) {
        if (!root_.has_filename()) root_ = root_.parent_path();  // "root/" names the same
    }

    std::string where(const std::string& path) const override { return pathText(place(path)); }

    ServedDocument document(const std::string& path) override {
        const fs::path file = place(path);
        std::error_code error;
        if (!fs::is_regular_file(file, error)) return {};
        return {readWholeFile(file), false};
    }

    ServedFile file(const std::string& folder, const std::string& key) override {
        return fileFacts(where(folder + "/" + forwardSlashes(key))).value_or(ServedFile{});
    }

    std::optional<std::string> localCopy(const std::string& path) override {
        std::error_code error;
        if (!fs::is_regular_file(place(path), error)) return std::nullopt;
        return where(path);
    }

    std::optional<std::string> fileCopy(const std::string& folder,
                                        const std::string& key) override {
        return localCopy(folder + "/" + forwardSlashes(key));
    }

private:
    // A path that leaves the document root names nothing in it, as a web server sees it.
    fs::path place(const std::string& path) const {
        const fs::path file =
            (root_ / toPath(path.substr(path.starts_with('/') ? 1 : 0))).lexically_normal();
        return liesBelow(file, root_) ? file : root_ / ".orv-outside";
    }

    fs::path root_;
};

// downloadFile gives up after ten attempts by ending its process, as the launcher must; so each
// transfer runs in a child process whose exit status tells how it went.
bool downloadInChild(const std::string& url, const std::string& localPath) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        platform::messageBoxAnswerer = [](const std::string&, const std::string&,
                                          platform::MessageKind) {
            return platform::MessageAnswer::Ok;
        };
        platform::processEndObserver = [](int) { std::_Exit(3); };
        std::_Exit(downloadFile(url, localPath, "", "", true) ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return false;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class RemoteServer : public ServerFiles {
public:
    explicit RemoteServer(const std::string& origin) : origin_(origin) {
        std::string pattern = pathText(fs::temp_directory_path() / "orv-check-XXXXXX");
        if (mkdtemp(pattern.data())) folder_ = pattern;
    }
    ~RemoteServer() override {
        std::error_code error;
        if (!folder_.empty()) fs::remove_all(toPath(folder_), error);
    }

    std::string where(const std::string& path) const override { return origin_ + path; }

    ServedDocument document(const std::string& path) override {
        FetchedDocument fetched = fetchDocument(origin_ + path);
        const bool refused = fetched.status >= 400 && fetched.status < 500;
        return {std::move(fetched.body), !fetched.body && !refused};
    }

    ServedFile file(const std::string& folder, const std::string& key) override {
        const std::string local = folder_ + "/file";
        const std::string url = origin_ + folder + "/" + urlPath(forwardSlashes(key));
        if (folder_.empty() || !downloadInChild(url, local)) return {};
        const ServedFile facts = fileFacts(local).value_or(ServedFile{});
        std::error_code error;
        fs::remove(toPath(local), error);
        return facts;
    }

    std::optional<std::string> localCopy(const std::string& path) override {
        const std::string local = folder_ + "/copy" + std::to_string(++copies_);
        if (folder_.empty() || !downloadInChild(origin_ + path, local)) return std::nullopt;
        return local;
    }

    std::optional<std::string> fileCopy(const std::string& folder,
                                        const std::string& key) override {
        return localCopy(folder + "/" + urlPath(forwardSlashes(key)));
    }

private:
    std::string origin_;
    std::string folder_;
    int copies_ = 0;
};

}  // namespace

std::unique_ptr<ServerFiles> localServer(const std::string& root) {
    return std::make_unique<LocalServer>(root);
}

std::unique_ptr<ServerFiles> remoteServer(const std::string& origin) {
    return std::make_unique<RemoteServer>(origin);
}
