// One file from a server onto the disk, skipped when the local copy matches its checksum.
#pragma once

#include <cstddef>
#include <string>

class ConnectionPool;

// The file is received beside `localPath` and renamed over it only once complete and, when
// `expectedChecksum` is given, matching it: until then the old file stays as it was. A transfer
// that breaks off is resumed where it stopped. Progress goes to PatchProgress unless `noProgress`.
//
// A lost connection (no answer, a cut transfer, a server error) is tried up to ten times with
// growing pauses, or those the server asks for; after the tenth failure the player is told that
// the connection was lost and the process ends. A server that answers but cannot give the file is
// no lost connection: a file it refuses (404 and its kin) or whose bytes do not match
// `expectedChecksum` fails the call after a few tries (Retry), or at once (Refuse: for the
// archive, whose caller decides how often a gigabyte is worth fetching again).
enum class OnMismatch { Retry, Refuse };

// A further test of the bytes, fed as they arrive (no second read of the file), and restarted
// whenever the transfer starts the file over. A file it does not accept is not put in place.
class ContentCheck {
public:
    virtual ~ContentCheck() = default;
    virtual void restart() = 0;
    virtual void add(const void* data, std::size_t size) = 0;
    // Logs why when it refuses.
    virtual bool accepted() = 0;
};

// True when `localPath` now holds the file: the local copy was current or the new one is in place.
// With `connections`, the transfer goes over the connections kept open for an update, and each of
// its log lines names the file, so downloads side by side can be told apart. With `check`, a
// local copy is not taken on its checksum alone: the file is fetched and checked.
bool downloadFile(const std::string& url, const std::string& localPath,
                  const std::string& displayName, const std::string& expectedChecksum,
                  bool noProgress, OnMismatch onMismatch = OnMismatch::Retry,
                  ConnectionPool* connections = nullptr, ContentCheck* check = nullptr);
