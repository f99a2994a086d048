// What an installation at a given version goes through to reach the server's current version:
// the updates a patch run applies and the bytes it downloads on the way.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "patch/version_file.h"

// What `check` learnt of one update of the chain.
struct UpdateFacts {
    UpdateEntry entry;
    std::map<std::string, std::string> files;    // path key -> checksum, for the files players get
    std::map<std::string, std::uint64_t> sizes;  // path key -> bytes (inc: a download of it)
    std::string archiveChecksum;                 // full: what full.ini names
    std::uint64_t archiveSize = 0;               // full
    std::vector<std::string> deletes;            // path keys its scripts delete
};

struct ClientRun {
    bool upToDate = false;
    bool reset = false;                // taken for a version the server does not know
    std::vector<std::string> applied;  // "1.0 full", ...
    std::uint64_t bytes = 0;
};

// The run of an installation at `client` ("" for a fresh one, whose game folder is empty). An
// installation at a version is taken to hold what the chain's updates up to it give, and the
// archive of the last full update among them.
ClientRun simulateClient(const std::string& client, const std::string& current,
                         const std::vector<UpdateFacts>& chain);
