#include "testdata/make_install.h"

#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "integrity/checksum.h"
#include "testdata/game_content.h"
#include "testdata/zip_writer.h"

namespace fs = std::filesystem;

namespace testdata {
namespace {

class Crc {
public:
    void add(const std::string& bytes) {
        value_ = crc32(value_, reinterpret_cast<const Bytef*>(bytes.data()),
                       static_cast<uInt>(bytes.size()));
    }
    std::string text() const { return formatChecksum(static_cast<std::uint32_t>(value_)); }

private:
    uLong value_ = crc32(0, nullptr, 0);
};

std::ofstream openForWriting(const fs::path& path) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path.string());
    return out;
}

void writeText(const fs::path& path, const std::string& text) {
    auto out = openForWriting(path);
    out << text;
    if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

void makeExecutable(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
}

// "key = value" lines with CR LF, as the server (a Windows host) keeps them.
std::string manifestText(const std::map<std::string, std::string>& pairs) {
    std::string text;
    for (const auto& [key, value] : pairs) text += key + " = " + value + "\r\n";
    return text;
}

std::string checksumOfFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    Crc crc;
    std::string buffer(1 << 20, '\0');
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
        buffer.resize(static_cast<std::size_t>(in.gcount()));
        crc.add(buffer);
        buffer.resize(1 << 20);
    }
    return crc.text();
}

// The files that 1.1 changes: the executable and about every eighth data file.
std::vector<std::string> changedPaths(const std::vector<GameFileSpec>& files,
                                      const std::vector<std::string>& removed) {
    std::vector<std::string> changed;
    int dataIndex = 0;
    for (const auto& file : files) {
        if (std::find(removed.begin(), removed.end(), file.path) != removed.end()) continue;
        if (file.kind == FileKind::Executable || dataIndex++ % 8 == 3) changed.push_back(file.path);
    }
    return changed;
}

}  // namespace

std::string backslashed(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

MadeInstall makeInstall(const InstallOptions& options) {
    if (options.serverDir.empty()) throw std::invalid_argument("no server folder given");
    MadeInstall made;
    const auto dataBytes = static_cast<std::uint64_t>(options.sizeMb * 1024 * 1024);
    auto named = [&](std::string path) {
        if (!options.blanksInNames) std::replace(path.begin(), path.end(), ' ', '_');
        return path;
    };
    std::vector<GameFileSpec> base = baseGameFiles(options.seed, options.files, dataBytes);
    for (auto& file : base) file.path = named(file.path);
    std::sort(base.begin(), base.end(),
              [](const GameFileSpec& a, const GameFileSpec& b) { return a.path < b.path; });
    if (options.scripts)
        made.removedFiles = {named("Data/obsolete_table.dat"), named("Config/shader cache.tmp")};
    const bool installBase =
        !options.installDir.empty() && options.scenario == Scenario::BehindOneInc;
    if (installBase) made.installedVersion = made.fullVersion;

    const fs::path server = options.serverDir;
    const fs::path fullFolder = server / "updates" / made.fullVersion;
    const fs::path incFolder = server / "updates" / made.incVersion;
    fs::create_directories(fullFolder);
    fs::create_directories(incFolder);

    // 1.0: the archive, its manifest and (behind by one) the installed game folder, in one pass.
    std::map<std::string, std::string> fullManifest;
    {
        ZipWriter zip(fullFolder / "ORV.zip");
        std::string piece;
        for (const auto& file : base) {
            const bool executable = file.kind == FileKind::Executable && options.runnableExe;
            zip.beginFile("Astrovance/" + file.path, file.size, executable);
            std::ofstream installed;
            const fs::path installedPath = options.installDir / "Astrovance" / file.path;
            if (installBase) installed = openForWriting(installedPath);
            Crc crc;
            ContentStream content(file, options.seed, 0, options.runnableExe);
            while (content.next(piece)) {
                zip.write(piece);
                crc.add(piece);
                if (installBase)
                    installed.write(piece.data(), static_cast<std::streamsize>(piece.size()));
            }
            if (installBase) {
                if (!installed.flush())
                    throw std::runtime_error("cannot write " + installedPath.string());
                installed.close();
                if (executable) makeExecutable(installedPath);
            }
            made.fullFiles.push_back({file.path, crc.text(), file.size});
            fullManifest[backslashed(file.path)] = crc.text();
        }
        zip.close();
    }
    made.archiveChecksum = checksumOfFile(fullFolder / "ORV.zip");
    writeText(fullFolder / "hashes.ini", manifestText(fullManifest));
    writeText(fullFolder / "full.ini", "full.zip = " + made.archiveChecksum + "\r\n");

    // 1.1: changed files in a new revision, two new files, and the scripts.
    std::vector<GameFileSpec> incSpecs;
    const auto changed = changedPaths(base, made.removedFiles);
    for (const auto& file : base)
        if (std::find(changed.begin(), changed.end(), file.path) != changed.end())
            incSpecs.push_back(file);
    const std::uint64_t newSize =
        std::max<std::uint64_t>(64, dataBytes / std::max(1, options.files));
    incSpecs.push_back({named("Data/Ships/Fighter Wing/Decals/Season 2/emblem 01.dds"), newSize,
                        FileKind::Binary});
    incSpecs.push_back({named("Config/patch notes 1.1.txt"), 1500, FileKind::Text});

    std::map<std::string, std::string> incManifest;
    std::map<std::string, GameFile> current;
    for (const auto& file : made.fullFiles) current[file.path] = file;
    for (const auto& path : made.removedFiles) current.erase(path);
    std::string piece;
    for (const auto& file : incSpecs) {
        const fs::path target = incFolder / file.path;
        auto out = openForWriting(target);
        Crc crc;
        ContentStream content(file, options.seed, 1, options.runnableExe);
        while (content.next(piece)) {
            out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
            crc.add(piece);
        }
        if (!out.flush()) throw std::runtime_error("cannot write " + target.string());
        out.close();
        if (file.kind == FileKind::Executable && options.runnableExe) makeExecutable(target);
        incManifest[backslashed(file.path)] = crc.text();
        current[file.path] = {file.path, crc.text(), file.size};
        made.incFiles.push_back(file.path);
    }
    writeText(incFolder / "hashes.ini", manifestText(incManifest));
    for (auto& [path, file] : current) made.currentFiles.push_back(file);

    if (options.scripts) {
        writeText(incFolder / "PrePatch.ini", "; ORV " + made.incVersion +
                                                  ": tables merged into the new format\r\n"
                                                  "DELETE = Astrovance\\" +
                                                  backslashed(made.removedFiles[0]) + "\r\n");
        writeText(incFolder / "PostPatch.ini",
                  "; ORV " + made.incVersion +
                      ": the shaders are built anew at the next start\r\n"
                      "DELETE = Astrovance\\" +
                      backslashed(made.removedFiles[1]) + "\r\n");
    } else {
        fs::remove(incFolder / "PrePatch.ini");
        fs::remove(incFolder / "PostPatch.ini");
    }

    writeText(server / "version.ini",
              "; ORV download server\r\n"
              "[CurrentVersion]\r\n"
              "Version = " +
                  made.incVersion +
                  "\r\n"
                  "\r\n"
                  "[Launcher]\r\n"
                  "Version = " +
                  options.launcherVersion +
                  "\r\n"
                  "\r\n"
                  "[Updates]\r\n" +
                  made.fullVersion + " = full, " + made.fullPath + "\r\n" + made.incVersion +
                  " = inc, " + made.incPath + "\r\n");

    if (!options.installDir.empty()) {
        // The launcher itself, which every installation holds and every scan leaves out.
        writeText(options.installDir / "Launcher.exe",
                  std::string("MZ\x90\0", 4) + "ORV launcher stand-in");
        if (installBase)
            fs::copy_file(fullFolder / "ORV.zip", options.installDir / "ORV.zip",
                          fs::copy_options::overwrite_existing);
    }
    return made;
}

std::string describe(const MadeInstall& made, const InstallOptions& options) {
    std::uint64_t fullBytes = 0;
    for (const auto& file : made.fullFiles) fullBytes += file.size;
    std::ostringstream text;
    text << "server:       " << options.serverDir.string() << "\n"
         << "  version.ini   current " << made.incVersion << ", launcher "
         << options.launcherVersion << "\n"
         << "  full " << made.fullVersion << "      " << made.fullPath << " ("
         << made.fullFiles.size() << " files, " << fullBytes / 1024 << " KiB, checksum "
         << made.archiveChecksum << ")\n"
         << "  inc  " << made.incVersion << "      " << made.incPath << " (" << made.incFiles.size()
         << " files" << (options.scripts ? ", PrePatch.ini, PostPatch.ini" : "") << ")\n";
    if (!options.installDir.empty()) {
        text << "installation: " << options.installDir.string() << "\n"
             << "  "
             << (made.installedVersion.empty()
                     ? std::string("fresh: only Launcher.exe")
                     : "at " + made.installedVersion + " with ORV.zip, one inc update behind")
             << "\n";
    }
    text << "client version to record: "
         << (made.installedVersion.empty() ? "none" : made.installedVersion) << "\n";
    return text.str();
}

}  // namespace testdata
