// The files of a stand-in Astrovance game folder and their contents, all derived from a seed, so
// that an installation, its server folder and a test's expectations agree byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testdata {

enum class FileKind { Binary, Text, Executable };

struct GameFileSpec {
    std::string path;  // below the game folder "Astrovance", '/' between folders
    std::uint64_t size = 0;
    FileKind kind = FileKind::Binary;
};

inline const std::string executablePath = "EXE/Astrovance.exe";
inline constexpr std::uint64_t executableSize = 2 * 1024 * 1024;
// The bytes that the launcher's two executable patches expect.
inline constexpr std::uint64_t firstPatchOffset = 0x14E;
inline constexpr std::uint64_t secondPatchOffset = 0x1B264C;

// The game folder of the base version, in path order: the executable and `dataFiles` further
// files (at least three fixed ones, two of which the update removes) of about `dataBytes` together.
std::vector<GameFileSpec> baseGameFiles(std::uint64_t seed, int dataFiles, std::uint64_t dataBytes);

// Produces a file's bytes piece by piece. Each (seed, path, revision) gives other content; the
// executable keeps its patch bytes in every revision.
class ContentStream {
public:
    ContentStream(const GameFileSpec& file, std::uint64_t seed, int revision, bool runnable);
    // The next up to `maximum` bytes into `out` (replacing its content); false at the end.
    bool next(std::string& out, std::size_t maximum = 1 << 20);

private:
    void fillBlock(std::uint64_t block, std::string& out) const;

    GameFileSpec file_;
    std::uint64_t key_;
    bool runnable_;
    std::uint64_t position_ = 0;
};

// The header of the runnable stand-in executable: a shell script that notes its working folder
// and arguments in Astrovance.log beside itself and ends before any binary byte.
extern const std::string standInScript;

}  // namespace testdata
