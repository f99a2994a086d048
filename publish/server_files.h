// What `check` reads of a download server: the document root on this disk, or a deployed server
// fetched with the launcher's own transfers.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct ServedDocument {
    std::optional<std::string> body;
    // No body, and not because the server said there is none (4xx): a script that fails so
    // leaves its update incomplete, where a missing one is no script.
    bool failed = false;
};

struct ServedFile {
    bool found = false;
    std::string checksum;  // as formatChecksum writes it
    std::uint64_t size = 0;
};

class ServerFiles {
public:
    virtual ~ServerFiles() = default;
    // Where a path of the server is, for messages.
    virtual std::string where(const std::string& path) const = 0;
    // A small document at `path` ("/" first), as the launcher fetches it.
    virtual ServedDocument document(const std::string& path) = 0;
    // The file of manifest `key` in an update's `folder`, as the launcher asks for it.
    virtual ServedFile file(const std::string& folder, const std::string& key) = 0;
    // A copy on this disk of the big file at `path` (an archive) to read; nothing when it
    // cannot be had.
    virtual std::optional<std::string> localCopy(const std::string& path) = 0;
    // The same for the file of manifest `key` in an update's `folder`.
    virtual std::optional<std::string> fileCopy(const std::string& folder,
                                                const std::string& key) = 0;
};

std::unique_ptr<ServerFiles> localServer(const std::string& root);
// `origin` without a trailing "/".
std::unique_ptr<ServerFiles> remoteServer(const std::string& origin);
