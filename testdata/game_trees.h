// Two installation roots of the game, before and after an update, from one seed: the second
// changes the executable and about every eighth file of the first, empties one file and fills an
// empty one, drops two files and a whole folder, and adds files in new folders. Names have blanks
// and non-ASCII letters, and some files are empty.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "testdata/make_install.h"

namespace testdata {

struct TreeOptions {
    std::filesystem::path oldRoot, newRoot;  // installation roots to make (replaced)
    std::uint64_t seed = 1;
    int files = 24;     // files of the game folder besides the executable
    double sizeMb = 4;  // their size together, in MiB
#ifdef _WIN32
    bool runnableExe = false;
#else
    bool runnableExe = true;
#endif
};

struct MadeTrees {
    std::vector<GameFile> oldFiles, newFiles;  // by path
    std::vector<std::string> changed, added, removed;
};

MadeTrees makeGameTrees(const TreeOptions& options);

}  // namespace testdata
