// One file from a server onto the disk, skipped when the local copy matches its checksum.
#pragma once

#include <string>

class ConnectionShare;

// The file is received beside `localPath` and renamed over it only once complete and, when
// `expectedChecksum` is given, matching it: until then the old file stays as it was. A transfer
// that breaks off is resumed where it stopped. Up to ten attempts with growing pauses between
// them; after the tenth failure the user is told that the connection was lost and the process
// ends. Progress goes to PatchProgress unless `noProgress`.
//
// A transfer that arrives whole but does not match `expectedChecksum` counts as a failed attempt
// (Retry), or ends the call at once (Refuse: for the archive, whose caller decides how often a
// gigabyte is worth fetching again).
enum class OnMismatch { Retry, Refuse };

// True when `localPath` now holds the file: the local copy was current or the new one is in place.
// With `connections`, the transfer goes over the connections kept open for an update, and its log
// lines are written together when it ends, so downloads side by side keep their lines apart.
bool downloadFile(const std::string& url, const std::string& localPath,
                  const std::string& displayName, const std::string& expectedChecksum,
                  bool noProgress, OnMismatch onMismatch = OnMismatch::Retry,
                  ConnectionShare* connections = nullptr);
