// Changes to the download server's version.ini that keep every other line as it is.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct VersionFileChange {
    std::string version;          // becomes the current version
    std::string type;             // "inc" or "full"
    std::string path;             // of the update, below the server's origin
    std::string launcherVersion;  // empty: the launcher's line stays as it is
};

// `text` (empty for a new file) with the current version, the update's line (replacing one of the
// same version) and, if given, the launcher version set.
std::string editVersionFile(const std::string& text, const VersionFileChange& change);

// Why the launcher, reading `edited`, would not offer the change as asked, or "".
std::string offerProblem(const std::string& edited, const VersionFileChange& change);

// One line of a version file as the launcher's reader sees it.
struct VersionFileLine {
    std::string text;
    std::string section;  // the section it stands in (for a header: the one it opens)
    bool header = false;
    std::optional<std::string> key;  // for a pair: the text before its first "=", trimmed
    std::string value;               // and after it
};
std::vector<VersionFileLine> versionFileLines(const std::string& text);
