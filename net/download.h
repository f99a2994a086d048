// One file from a server onto the disk, skipped when the local copy matches its checksum.
#pragma once

#include <string>

// Up to ten attempts; after the tenth failure the user is told that the connection was lost and
// the process ends. Progress goes to PatchProgress unless `noProgress`.
void downloadFile(const std::string& url, const std::string& localPath,
                  const std::string& displayName, const std::string& expectedChecksum,
                  bool noProgress);
