// Which files of a game folder can be published, and which keys of a server's lists players
// actually get. Every reason a key is refused is worded in keyRefusal alone.
#pragma once

#include <string>

enum class KeySource {
    Tree,      // made from a file's path below the game folder, "/" between folders
    Manifest,  // read from a server's hashes.ini, where "\" separates folders too
};

// Why the launcher would not install the file of `key`, or "" when it would.
std::string keyRefusal(const std::string& key, KeySource source);

// The key's folders joined with "\", as patch scripts name a file below the installation root.
std::string scriptPath(const std::string& key);
