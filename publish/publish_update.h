// The two ways to publish: an "inc" update with the files that changed between two trees, and a
// "full" update with one archive of a whole tree. Each writes the update's folder below the
// document root and then makes version.ini offer it.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "integrity/signature.h"

#include "publish/zip_file_writer.h"

class ProgressLine;

struct PublishRequest {
    std::string root{};              // the download server's document root
    std::string version{};           // the version the update leads to
    std::string launcherVersion{};   // empty: version.ini's launcher line stays
    bool force = false;              // publish a version that sorts below the current one
    std::string from{}, to{};        // inc: the installation roots before and after
    bool keepRemoved = false;        // inc: no PrePatch.ini deletes for files NEW no longer has
    std::string tree{};              // full: the installation root to pack
    std::optional<SecretKey> key{};  // signs what the launcher checks, as it is published
};

// 0 when published (what was made on `out`), 1 when refused (every reason on `err`, nothing
// written). Throws std::runtime_error when a file cannot be read or written.
int publishInc(const PublishRequest& request, std::ostream& out, std::ostream& err,
               ProgressLine& progress);
int publishFull(const PublishRequest& request, std::ostream& out, std::ostream& err,
                ProgressLine& progress, ZipLimits limits = {});
