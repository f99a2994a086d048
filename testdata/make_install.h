// Makes a realistic Astrovance installation with ORV and a download-server folder with its
// updates, all from one seed:
//
//   server/version.ini                  CurrentVersion 1.1, Launcher, Updates 1.0 full, 1.1 inc
//   server/updates/1.0/ORV.zip          the game folder of 1.0 ("Astrovance/..." entries)
//   server/updates/1.0/hashes.ini       its manifest; full.ini: "full.zip = <archive checksum>"
//   server/updates/1.1/hashes.ini       the inc manifest ("EXE\Astrovance.exe = <checksum>", ...)
//   server/updates/1.1/<files>          the changed and new files under their relative paths
//   server/updates/1.1/PrePatch.ini     deletes a file that 1.1 no longer has
//   server/updates/1.1/PostPatch.ini    deletes a left-over temporary file
//
// The installation is either at 1.0 (with ORV.zip kept from its first install) or empty but for
// the launcher.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace testdata {

enum class Scenario {
    BehindOneInc,  // installed 1.0 from the full archive; the inc update 1.1 is missing
    FreshFull,     // nothing installed yet: the run starts with the full archive
};

struct InstallOptions {
    std::filesystem::path installDir;  // the installation root to make; empty: none
    std::filesystem::path serverDir;   // the download server's folder to make
    std::uint64_t seed = 1;
    int files = 24;     // files of the game folder besides the executable
    double sizeMb = 4;  // their size together, in MiB
    std::string launcherVersion = "0.0.2";
    Scenario scenario = Scenario::BehindOneInc;
    bool scripts = true;        // PrePatch.ini and PostPatch.ini in the inc update
    bool blanksInNames = true;  // false: '_' wherever a file or folder name has a blank
#ifdef _WIN32
    bool runnableExe = false;
#else
    bool runnableExe = true;  // the executable is a shell script that logs how it was started
#endif
};

struct GameFile {
    std::string path;      // below the game folder "Astrovance", '/' between folders
    std::string checksum;  // as the manifests write it
    std::uint64_t size = 0;
};

struct MadeInstall {
    std::string fullVersion = "1.0";
    std::string incVersion = "1.1";  // also the server's current version
    std::string installedVersion;    // what the installation holds: "1.0", or "" when fresh
    std::string fullPath = "/updates/1.0/ORV.zip";
    std::string incPath = "/updates/1.1/hashes.ini";
    std::string archiveChecksum;
    std::vector<GameFile> fullFiles;        // the game folder at 1.0 (the archive's files)
    std::vector<GameFile> currentFiles;     // the game folder at 1.1
    std::vector<std::string> incFiles;      // paths the inc update brings (changed and new)
    std::vector<std::string> removedFiles;  // paths that the inc update's scripts delete
};

// Makes the folders (creating them, replacing files of the same names). Throws on failure.
MadeInstall makeInstall(const InstallOptions& options);

// What was made, for people: versions, paths, counts and sizes.
std::string describe(const MadeInstall& made, const InstallOptions& options);

// Windows-style relative path as the server's manifests and scripts write it.
std::string backslashed(std::string path);

}  // namespace testdata
