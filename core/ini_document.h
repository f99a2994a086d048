// INI files on disk and INI text in memory. No document object lives between calls: every read
// scans the file anew, every write rewrites it whole. The three readers keep their own rules for
// comments, white space and sections, which stored files and server manifests rely on.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace IniDocument {

// The value of `key` in `section`; empty when the file, the section or the key is missing.
std::string getValue(const std::string& path, const std::string& section, const std::string& key);

// Sets `key` in `section`, creating folder, file and section as needed. The file is replaced
// atomically, and all writers of the process take turns. False when nothing was written.
bool setValue(const std::string& path, const std::string& section, const std::string& key,
              const std::string& value);

// True exactly when the value is "true".
bool getFlag(const std::string& path, const std::string& section, const std::string& key);

// Every "key = value" line of the text, sections ignored; a later key replaces an earlier one.
std::map<std::string, std::string> parsePairs(const std::string& text);
// The same lines in their order, a key listed twice included.
std::vector<std::pair<std::string, std::string>> pairsInOrder(const std::string& text);

// Without leading and trailing blanks, tabs, CR and LF.
std::string trim(const std::string& text);

}  // namespace IniDocument

// The installed version from the client settings file; "0.0.0" (and written) when there is none.
std::string readClientVersion();
