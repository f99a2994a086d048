#include "publish/check_server.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "core/ini_document.h"
#include "integrity/checksum.h"
#include "patch/update_from_web.h"
#include "patch/version_file.h"
#include "publish/archive_contents.h"
#include "publish/check_report.h"
#include "publish/client_downloads.h"
#include "publish/game_tree.h"
#include "publish/key_rules.h"
#include "publish/progress_line.h"
#include "publish/server_files.h"
#include "publish/version_file_edit.h"
#include "publish/version_rules.h"

namespace {

const std::string endsLauncher = "the launcher tries ten times, says \"Download Failed\" and ends";

bool isChecksumText(const std::string& text) {
    if (text.empty() || text.size() > 8) return false;
    if (text.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    return formatChecksum(static_cast<std::uint32_t>(std::stoul(text, nullptr, 16))) == text;
}

// Why the launcher drops each [Updates] line that is not in its chain.
void reportDropped(const std::string& text, const VersionInfo& info, CheckReport& report) {
    std::vector<std::pair<int, VersionFileLine>> listed;
    int number = 0;
    for (const VersionFileLine& line : versionFileLines(text)) {
        ++number;
        if (line.section == "Updates" && line.key && line.value.find(',') != std::string::npos)
            listed.emplace_back(number, line);
    }
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const auto& [at, line] = listed[i];
        const auto comma = line.value.find(',');
        const std::string type = IniDocument::trim(line.value.substr(0, comma));
        const std::string path = IniDocument::trim(line.value.substr(comma + 1));
        const bool kept = std::any_of(info.updates.begin(), info.updates.end(), [&](auto& u) {
            return u.version == *line.key && u.type == type && u.path == path;
        });
        if (kept) continue;
        std::string why = "it stands before the first [CurrentVersion] entry";
        for (std::size_t later = i + 1; later < listed.size(); ++later) {
            const auto& [laterAt, laterLine] = listed[later];
            if (laterLine.key == line.key) {
                why = "line " + std::to_string(laterAt) + " lists the same version again";
                break;
            }
            if (IniDocument::trim(laterLine.value.substr(0, laterLine.value.find(','))) == "full") {
                why = "the full update on line " + std::to_string(laterAt) + " stands after it";
                break;
            }
        }
        report.warning("version.ini line " + std::to_string(at) + " (" + *line.key + " = " +
                       line.value + ") is dropped by the launcher: " + why);
    }
}

// The scripts of the update's folder: what they delete, and whether they arrive.
void checkScripts(ServerFiles& server, const std::string& label, const std::string& folder,
                  UpdateFacts& facts, CheckReport& report) {
    for (const char* name : {"PrePatch.ini", "PostPatch.ini"}) {
        const ServedDocument script = server.document(folder + "/" + name);
        if (script.failed)
            report.error(label + name + " could not be fetched from " +
                         server.where(folder + "/" + name) +
                         ": the launcher counts the update incomplete at every start");
        if (!script.body) continue;
        int deletes = 0, runs = 0;
        std::istringstream lines(*script.body);
        for (std::string line; std::getline(lines, line);) {
            line = IniDocument::trim(line);
            if (const auto at = line.find("DELETE ="); at != std::string::npos) {
                ++deletes;
                std::string target = IniDocument::trim(line.substr(at + 8));
                for (const char* game : {"Astrovance\\", "Astrovance/"})
                    if (target.starts_with(game))
                        facts.deletes.push_back(pathKey(target.substr(11)));
            } else if (line.find("RUN =") != std::string::npos) {
                ++runs;
            }
        }
        report.line("    " + std::string(name) + ": " + std::to_string(deletes) + " DELETE, " +
                    std::to_string(runs) + " RUN");
    }
}

// The keys of a file list that players get, each refused one reported.
std::map<std::string, std::string> usableKeys(const std::map<std::string, std::string>& list,
                                              const std::string& label, CheckReport& report) {
    std::map<std::string, std::string> usable;
    for (const auto& [key, checksum] : list) {
        if (const std::string why = keyRefusal(key, KeySource::Manifest); !why.empty()) {
            report.error(label + key + ": never installed: " + why);
        } else if (!isChecksumText(checksum)) {
            report.error(label + key + ": \"" + checksum +
                         "\" is not a checksum as the launcher writes it (lower-case hexadecimal "
                         "without leading zeros), so it never matches");
        } else {
            usable[key] = checksum;
        }
    }
    return usable;
}

std::optional<std::map<std::string, std::string>> readList(ServerFiles& server,
                                                           const std::string& path,
                                                           const std::string& label,
                                                           CheckReport& report) {
    const ServedDocument list = server.document(path);
    if (!list.body) {
        report.error(label + "no file list at " + server.where(path) +
                     ": the launcher counts the update incomplete at every start");
        return std::nullopt;
    }
    if (!isManifestText(*list.body)) {
        report.error(label + server.where(path) +
                     " is no file list (markup, or no \"key = checksum\" line): the launcher "
                     "counts the update incomplete at every start");
        return std::nullopt;
    }
    return IniDocument::parsePairs(*list.body);
}

void checkInc(ServerFiles& server, UpdateFacts& facts, CheckReport& report,
              ProgressLine& progress) {
    const std::string label = facts.entry.version + " inc: ";
    const std::string folder = updateFolder(facts.entry.path);
    const auto list = readList(server, facts.entry.path, label, report);
    if (list) {
        const auto usable = usableKeys(*list, label, report);
        progress.begin("checking " + facts.entry.version, usable.size(), 0);
        std::uint64_t bytes = 0;
        for (const auto& [key, checksum] : usable) {
            const ServedFile file = server.file(folder, key);
            progress.advance(1, file.size);
            if (!file.found) {
                report.error(label + key + ": missing at " +
                             server.where(folder + "/" + forwardSlashes(key)) + ": " +
                             endsLauncher);
            } else if (file.checksum != checksum) {
                report.error(label + key + ": the served file has checksum " + file.checksum +
                             ", hashes.ini says " + checksum + ": " + endsLauncher);
            }
            facts.files[pathKey(key)] = checksum;
            facts.sizes[pathKey(key)] = file.size;
            bytes += file.size;
        }
        progress.clear();
        report.line("    hashes.ini: " + std::to_string(list->size()) + " file(s), " +
                    byteCount(bytes));
    }
    checkScripts(server, label, folder, facts, report);
}

void checkEntries(const ArchiveContents& contents, const std::map<std::string, std::string>& list,
                  const std::string& label, UpdateFacts& facts, CheckReport& report) {
    std::map<std::string, const ArchiveEntry*> byName;
    for (const ArchiveEntry& entry : contents.entries) {
        if (!byName.emplace(entry.name, &entry).second) {
            report.warning(label + "the archive holds " + entry.name +
                           " twice: the launcher extracts the first");
            continue;
        }
        if (!entry.plainFile) continue;
        if (entry.name.find('\\') != std::string::npos) {
            report.error(label + "entry " + entry.name +
                         " is named with \"\\\": the launcher looks entries up with \"/\" and "
                         "never finds it");
        } else if (!entry.name.starts_with("Astrovance/")) {
            report.warning(label + "entry " + entry.name +
                           " lies outside Astrovance/: the launcher never extracts it");
        }
        if (!windowsReads(entry.compression)) {
            report.error(label + "entry " + entry.name + " is compressed with " +
                         entry.compression +
                         ", which the players' Windows launcher cannot extract (it reads stored, "
                         "deflated and PPMd entries)");
        } else if (entry.encrypted) {
            report.error(label + "entry " + entry.name +
                         " is encrypted: the launcher has no password");
        } else if (!entry.readError.empty()) {
            report.error(label + "entry " + entry.name + " is damaged: " + entry.readError);
        }
    }
    std::set<std::string> listedNames;
    for (const auto& [key, checksum] : list) {
        const std::string name = "Astrovance/" + forwardSlashes(key);
        listedNames.insert(name);
        facts.files[pathKey(key)] = checksum;
        const auto found = byName.find(name);
        if (found == byName.end()) {
            report.error(label + key +
                         ": not in the archive: the launcher logs \"File in Versionfile not "
                         "found!\" and the update stays incomplete");
        } else if (!found->second->plainFile) {
            report.error(label + key + ": not a plain file in the archive: never extracted");
        } else if (!found->second->checksum.empty() && found->second->checksum != checksum) {
            report.error(label + key + ": the archive holds it with checksum " +
                         found->second->checksum + ", hashes.ini says " + checksum +
                         ": the launcher refuses what it extracts and the update stays "
                         "incomplete");
        }
    }
    for (const ArchiveEntry& entry : contents.entries) {
        if (entry.plainFile && entry.name.starts_with("Astrovance/") &&
            !listedNames.contains(entry.name))
            report.warning(label + "entry " + entry.name +
                           " is never extracted: hashes.ini does not list it");
    }
}

void checkFull(ServerFiles& server, UpdateFacts& facts, CheckReport& report,
               ProgressLine& progress) {
    const std::string label = facts.entry.version + " full: ";
    const std::string folder = updateFolder(facts.entry.path);
    const auto list = readList(server, folder + "/hashes.ini", label, report);
    const ServedDocument fullIni = server.document(folder + "/full.ini");
    const auto pairs = IniDocument::parsePairs(fullIni.body.value_or(""));
    const auto named = pairs.find("full.zip");
    if (named == pairs.end()) {
        report.error(label + server.where(folder + "/full.ini") +
                     " gives no \"full.zip\" checksum: the launcher downloads the archive three "
                     "times at every start");
    }
    const std::optional<std::string> archive = server.localCopy(facts.entry.path);
    if (!archive) {
        report.error(label + "the archive is missing at " + server.where(facts.entry.path) + ": " +
                     endsLauncher);
    } else {
        facts.archiveChecksum = formatChecksum(hashFile(*archive));
        std::error_code error;
        facts.archiveSize = std::filesystem::file_size(*archive, error);
        if (named != pairs.end() && named->second != facts.archiveChecksum)
            report.error(label + "the archive's checksum is " + facts.archiveChecksum +
                         ", full.ini says " + named->second +
                         ": the launcher downloads it three times at every start, then extracts "
                         "from it anyway");
        progress.begin("reading " + facts.entry.path, list ? list->size() : 0, facts.archiveSize);
        const ArchiveContents contents = readArchiveContents(*archive, progress);
        progress.clear();
        if (!contents.error.empty())
            report.error(label + "the launcher cannot read the archive " +
                         (contents.opened ? "to its end" : "at all") + ": " + contents.error);
        if (list) checkEntries(contents, usableKeys(*list, label, report), label, facts, report);
        report.line("    ORV.zip: " + std::to_string(contents.entries.size()) + " entries, " +
                    byteCount(facts.archiveSize) +
                    (list ? ", hashes.ini: " + std::to_string(list->size()) + " file(s)" : ""));
    }
    if (named != pairs.end()) facts.archiveChecksum = named->second;
    checkScripts(server, label, folder, facts, report);
}

// Where the byte order of versions parts from how people read them, and what that costs.
void reportVersionOrder(const std::vector<std::string>& versions, CheckReport& report) {
    for (const auto& [lower, higher] : orderSurprises(versions))
        report.warning("a person reads " + lower + " as lower than " + higher +
                       ", but the launcher takes " + higher +
                       " for the lower one (it compares bytes, not numbers)");
}

void reportClients(const std::vector<std::string>& versions, const std::string& current,
                   const std::vector<UpdateFacts>& chain, CheckReport& report) {
    report.line("installations:");
    std::vector<std::string> clients{""};
    for (const std::string& version : versions)
        if (std::find(clients.begin(), clients.end(), version) == clients.end())
            clients.push_back(version);
    for (const std::string& client : clients) {
        const ClientRun run = simulateClient(client, current, chain);
        std::string text = client.empty() ? "  fresh (empty game folder)" : "  at " + client;
        if (run.upToDate) {
            report.line(text + ": up to date");
            continue;
        }
        text += ": ";
        if (run.reset)
            text += "sorts above the current version " + current + ", so it is reset to 0.0.0; ";
        std::string applied;
        for (const std::string& update : run.applied)
            applied += (applied.empty() ? "" : ", ") + update;
        report.line(text + (applied.empty() ? "nothing to apply" : "applies " + applied) +
                    ", downloads " + byteCount(run.bytes));
    }
}

}  // namespace

void checkServer(ServerFiles& server, CheckReport& report, ProgressLine& progress) {
    const ServedDocument versionFile = server.document("/version.ini");
    if (!versionFile.body) {
        report.error("no version.ini at " + server.where("/version.ini") +
                     ": the launcher leaves every installation unchecked");
        return;
    }
    const VersionInfo info = readVersionFile(*versionFile.body);
    const std::string& current = info.currentVersion;
    report.line("version.ini: current version " + (current.empty() ? "(none)" : current) +
                ", launcher " + (info.launcherVersion.empty() ? "(none)" : info.launcherVersion));
    if (current.empty())
        report.error("version.ini names no current version: the launcher checks no installation");
    if (current == "0.0.0")
        report.error(
            "the current version 0.0.0 is what the launcher records for an installation "
            "without any version: fresh installations get nothing");
    reportDropped(*versionFile.body, info, report);

    report.line("update chain, as the launcher reads it:");
    std::vector<std::string> versions;
    std::string reached;
    for (const UpdateEntry& update : info.updates) {
        versions.push_back(update.version);
        const bool beyond = versionLess(current, update.version);
        report.line("  " + update.version + " = " + update.type + ", " + update.path +
                    (beyond ? "  (above the current version: never applied)" : ""));
        if (!beyond) reached = update.version;
        if (update.type != "inc" && update.type != "full")
            report.warning(update.version + ": the type \"" + update.type + "\" applies nothing");
        if (!update.path.starts_with("/"))
            report.error(update.version + ": the path " + update.path +
                         " does not begin with \"/\": the launcher appends it to the server's "
                         "address as it is");
    }
    if (!current.empty() && reached != current)
        report.error("no update leads to the current version " + current +
                     (reached.empty() ? "" : " (the last one applied is " + reached + ")") +
                     ": installations never record it and update again at every start");
    for (const VersionFileLine& line : versionFileLines(*versionFile.body))
        if (line.section == "Updates" && line.key) versions.push_back(*line.key);
    if (!current.empty()) versions.push_back(current);
    reportVersionOrder(versions, report);

    report.line("updates:");
    std::vector<UpdateFacts> chain;
    for (const UpdateEntry& update : info.updates) {
        UpdateFacts facts;
        facts.entry = update;
        report.line("  " + update.version + " " + update.type + ":");
        if (update.path.starts_with("/")) {
            if (update.type == "inc") checkInc(server, facts, report, progress);
            if (update.type == "full") checkFull(server, facts, report, progress);
        }
        chain.push_back(std::move(facts));
    }
    if (!current.empty()) reportClients(versions, current, chain, report);
    report.line(std::to_string(report.errors()) + " error(s), " +
                std::to_string(report.warnings()) + " warning(s)");
}
