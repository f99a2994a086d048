#include "testdata/game_trees.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <stdexcept>

#include "integrity/checksum.h"
#include "testdata/game_content.h"

namespace fs = std::filesystem;

namespace testdata {
namespace {

struct Planned {
    GameFileSpec spec;
    int revision = 0;
};

GameFile writeFile(const fs::path& root, const Planned& file, std::uint64_t seed, bool runnable) {
    const fs::path path = root / "Astrovance" / fs::path(file.spec.path);
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    ContentStream content(file.spec, seed, file.revision, runnable);
    std::uint32_t crc = 0;
    for (std::string piece; content.next(piece);) {
        out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
        crc = continueChecksum(crc, piece.data(), piece.size());
    }
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
    out.close();
    if (file.spec.kind == FileKind::Executable && runnable)
        fs::permissions(path, fs::perms::owner_exec, fs::perm_options::add);
    return {file.spec.path, formatChecksum(crc), file.spec.size};
}

std::vector<GameFile> writeTree(const fs::path& root, const std::map<std::string, Planned>& files,
                                const TreeOptions& options) {
    fs::remove_all(root);
    std::vector<GameFile> written;
    for (const auto& [path, file] : files)
        written.push_back(writeFile(root, file, options.seed, options.runnableExe));
    return written;
}

}  // namespace

MadeTrees makeGameTrees(const TreeOptions& options) {
    const auto bytes = static_cast<std::uint64_t>(options.sizeMb * 1024 * 1024);
    const std::uint64_t typical = std::max<std::uint64_t>(64, bytes / std::max(1, options.files));
    std::map<std::string, Planned> before;
    for (const GameFileSpec& spec : baseGameFiles(options.seed, options.files, bytes))
        before[spec.path] = {spec, 0};
    for (const GameFileSpec& spec : std::vector<GameFileSpec>{
             {"Sound/Voice Over/Ansage für Piloten.ogg", typical, FileKind::Binary},
             {"Data/Cartes/carte du ciel é.map", typical, FileKind::Binary},
             {"Movies/Old Trailer/trailer part 1.bik", typical, FileKind::Binary},
             {"Movies/Old Trailer/trailer part 2.bik", typical / 2, FileKind::Binary},
             {"Config/empty profile.cfg", 0, FileKind::Text},
             {"Data/empty table.dat", 0, FileKind::Binary}})
        before[spec.path] = {spec, 0};

    MadeTrees made;
    made.removed = {"Config/shader cache.tmp", "Data/obsolete_table.dat",
                    "Movies/Old Trailer/trailer part 1.bik",
                    "Movies/Old Trailer/trailer part 2.bik"};
    std::map<std::string, Planned> after = before;
    for (const std::string& path : made.removed) after.erase(path);
    int index = 0;
    for (auto& [path, file] : after) {
        if (file.spec.kind == FileKind::Executable || index++ % 8 == 3) {
            file.revision = 1;
            made.changed.push_back(path);
        }
    }
    after["Data/empty table.dat"] = {{"Data/empty table.dat", typical, FileKind::Binary}, 1};
    after["Config/Default Settings.ini"].spec.size = 0;
    for (const char* path : {"Data/empty table.dat", "Config/Default Settings.ini"})
        if (std::find(made.changed.begin(), made.changed.end(), path) == made.changed.end())
            made.changed.push_back(path);
    for (const GameFileSpec& spec : std::vector<GameFileSpec>{
             {"Data/Ships/Fighter Wing/Decals/Season 2/emblem 01.dds", typical, FileKind::Binary},
             {"Missions/Kampagne Ä/Einsatz 1.dat", typical, FileKind::Binary},
             {"Config/patch notes 1.1.txt", 1500, FileKind::Text}}) {
        after[spec.path] = {spec, 1};
        made.added.push_back(spec.path);
    }
    made.oldFiles = writeTree(options.oldRoot, before, options);
    made.newFiles = writeTree(options.newRoot, after, options);
    return made;
}

}  // namespace testdata
