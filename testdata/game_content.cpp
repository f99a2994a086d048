#include "testdata/game_content.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>

namespace testdata {
namespace {

constexpr std::uint64_t blockSize = 4096;

std::uint64_t splitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    std::uint64_t state = a ^ (b * 0xD6E8FEB86659FD93ull);
    return splitMix(state);
}

std::uint64_t textKey(const std::string& text) {
    std::uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
    for (unsigned char c : text) hash = (hash ^ c) * 0x100000001B3ull;
    return hash;
}

struct Folder {
    const char* path;
    const char* stem;
    const char* extension;
    FileKind kind;
};

// Folder names with blanks and several levels, as the real game has them.
constexpr std::array<Folder, 10> folders{{
    {"Data", "table_", ".dat", FileKind::Binary},
    {"Data/Maps", "sector ", ".map", FileKind::Binary},
    {"Data/Ships", "hull_", ".shp", FileKind::Binary},
    {"Data/Ships/Fighter Wing", "wing ", ".shp", FileKind::Binary},
    {"Data/Ships/Fighter Wing/Decals", "decal_", ".dds", FileKind::Binary},
    {"Sound/Voice Over", "briefing ", ".ogg", FileKind::Binary},
    {"Sound/Effects", "fx_", ".wav", FileKind::Binary},
    {"Textures/UI", "panel_", ".dds", FileKind::Binary},
    {"Movies", "Intro Part ", ".bik", FileKind::Binary},
    {"Config", "profile ", ".cfg", FileKind::Text},
}};

std::string threeDigits(int n) {
    std::string text = std::to_string(n);
    return std::string(text.size() < 3 ? 3 - text.size() : 0, '0') + text;
}

}  // namespace

const std::string standInScript =
    "#!/bin/sh\n"
    "# Astrovance stand-in: notes how it was started, then ends.\n"
    "log=\"$(dirname \"$0\")/Astrovance.log\"\n"
    "{ echo \"cwd: $(pwd)\"; echo \"args: $*\"; } >> \"$log\"\n"
    "exit 0\n";

std::vector<GameFileSpec> baseGameFiles(std::uint64_t seed, int dataFiles,
                                        std::uint64_t dataBytes) {
    std::vector<GameFileSpec> files;
    files.push_back({executablePath, executableSize, FileKind::Executable});
    // Two fixed files that the update's scripts remove again.
    files.push_back({"Data/obsolete_table.dat", 0, FileKind::Binary});
    files.push_back({"Config/shader cache.tmp", 0, FileKind::Text});

    std::uint64_t state = mix(seed, 0x6C1A55);
    const int generated = std::max(0, dataFiles - 3);
    for (int i = 0; i < generated; ++i) {
        const Folder& folder = folders[splitMix(state) % folders.size()];
        files.push_back(
            {std::string(folder.path) + "/" + folder.stem + threeDigits(i) + folder.extension, 0,
             folder.kind});
    }
    files.push_back({"Config/Default Settings.ini", 0, FileKind::Text});

    // Sizes between a quarter and seven quarters of the mean, scaled to the total.
    std::vector<double> weights;
    double sum = 0;
    for (std::size_t i = 1; i < files.size(); ++i) {
        weights.push_back(0.25 + 1.5 * static_cast<double>(splitMix(state) % 1000) / 1000.0);
        sum += weights.back();
    }
    for (std::size_t i = 1; i < files.size(); ++i) {
        const double share = static_cast<double>(dataBytes) * weights[i - 1] / sum;
        files[i].size = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(share)));
    }

    std::sort(files.begin(), files.end(),
              [](const GameFileSpec& a, const GameFileSpec& b) { return a.path < b.path; });
    return files;
}

ContentStream::ContentStream(const GameFileSpec& file, std::uint64_t seed, int revision,
                             bool runnable)
    : file_(file),
      key_(mix(mix(seed, textKey(file.path)), static_cast<std::uint64_t>(revision))),
      runnable_(runnable) {}

void ContentStream::fillBlock(std::uint64_t block, std::string& out) const {
    std::uint64_t state = mix(key_, block);
    const std::uint64_t kind = splitMix(state) % 4;
    if (file_.kind == FileKind::Text || kind == 2) {
        // Readable, compressible lines.
        while (out.size() < blockSize) {
            const std::uint64_t value = splitMix(state);
            out += "entry_" + std::to_string(value % 997) + " = " + std::to_string(value >> 40) +
                   "\r\n";
        }
    } else if (kind == 3) {
        // Structured records: small numbers and many zero bytes.
        while (out.size() < blockSize) {
            const std::uint64_t value = splitMix(state);
            out.append(12, '\0');
            out.push_back(static_cast<char>(value & 0x3F));
            out.push_back(static_cast<char>((value >> 8) & 0x0F));
            out.append(2, '\0');
        }
    } else {
        while (out.size() < blockSize) {
            const std::uint64_t value = splitMix(state);
            for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
        }
    }
    out.resize(blockSize);
}

bool ContentStream::next(std::string& out, std::size_t maximum) {
    out.clear();
    if (position_ >= file_.size) return false;
    const std::uint64_t end = std::min<std::uint64_t>(file_.size, position_ + maximum);
    std::string block;
    for (std::uint64_t at = position_; at < end;) {
        const std::uint64_t index = at / blockSize;
        block.clear();
        fillBlock(index, block);
        const std::uint64_t from = at - index * blockSize;
        const std::uint64_t take = std::min(blockSize - from, end - at);
        out.append(block, from, take);
        at += take;
    }

    if (file_.kind == FileKind::Executable) {
        // Fixed bytes at fixed places, wherever this piece covers them.
        const std::string header = runnable_ ? standInScript : std::string("MZ\x90\0\x03\0", 6);
        auto place = [&](std::uint64_t offset, const std::string& bytes) {
            for (std::size_t i = 0; i < bytes.size(); ++i)
                if (offset + i >= position_ && offset + i < end)
                    out[offset + i - position_] = bytes[i];
        };
        place(0, header);
        place(firstPatchOffset, "\x0F");
        place(secondPatchOffset, "\x83\xFF\x01\x0F\x94\xC2");
    }
    position_ = end;
    return true;
}

}  // namespace testdata
