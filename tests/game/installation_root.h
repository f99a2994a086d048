// A temporary game installation that is the current directory while a test runs.
#pragma once

#include <filesystem>
#include <string>

#include "tests/support/temp_dir.h"

class InstallationRoot {
public:
    InstallationRoot();  // also points the user folder into the root
    ~InstallationRoot();
    InstallationRoot(const InstallationRoot&) = delete;
    InstallationRoot& operator=(const InstallationRoot&) = delete;

    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path executable() const {
        return dir_.path() / "Astrovance" / "EXE" / "Astrovance.exe";
    }

private:
    TempDir dir_;
    std::filesystem::path previous_;
};

// 2 MB in the game's shape: the original bytes of both patches at their offsets, a pattern
// elsewhere.
std::string pristineExecutable();
