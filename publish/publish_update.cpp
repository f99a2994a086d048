#include "publish/publish_update.h"

#include <filesystem>
#include <map>
#include <vector>

#include "core/text.h"
#include "integrity/checksum.h"
#include "patch/version_file.h"
#include "publish/archive_packer.h"
#include "publish/game_tree.h"
#include "publish/key_rules.h"
#include "publish/progress_line.h"
#include "publish/server_folder.h"
#include "publish/tree_hashes.h"
#include "publish/update_signing.h"
#include "publish/version_file_edit.h"
#include "publish/version_rules.h"

namespace fs = std::filesystem;

namespace {

// What version.ini becomes, or why it may not.
struct VersionPlan {
    std::string edited;
    std::vector<std::string> refusals, warnings;
};

VersionPlan planVersionFile(const PublishRequest& request, const VersionFileChange& change) {
    VersionPlan plan;
    const std::string& version = change.version;
    if (const std::string why = versionTextRefusal(version); !why.empty()) {
        plan.refusals.push_back("version \"" + version + "\": " + why);
        return plan;
    }
    const std::string& launcher = change.launcherVersion;
    if (!launcher.empty() && launcher != "0.0.0") {
        if (const std::string why = versionTextRefusal(launcher); !why.empty())
            plan.refusals.push_back("launcher version \"" + launcher + "\": " + why);
    }
    const std::string existing =
        readWholeFile(toPath(request.root) / "version.ini").value_or(std::string());
    const VersionInfo info = readVersionFile(existing);
    const std::string& current = info.currentVersion;
    if (!current.empty() && versionLess(version, current) && !request.force) {
        plan.refusals.push_back(
            "version " + version + " sorts below the current version " + current +
            ": the launcher compares versions byte by byte, not as numbers, so it would take "
            "every installation at " +
            current +
            " for one the server does not know, reset it to 0.0.0 and apply every update "
            "again. Choose a version that sorts above " +
            current + ", or give --force");
    }
    std::vector<std::string> versions{version};
    if (!current.empty()) versions.push_back(current);
    for (const UpdateEntry& update : info.updates) versions.push_back(update.version);
    for (const auto& [lower, higher] : orderSurprises(versions)) {
        if (lower != version && higher != version) continue;
        plan.warnings.push_back("a person reads " + lower + " as lower than " + higher +
                                ", but the launcher takes " + higher +
                                " for the lower one (it compares bytes, not numbers)");
    }
    plan.edited = editVersionFile(existing, change);
    if (const std::string why = offerProblem(plan.edited, change); !why.empty())
        plan.refusals.push_back("version.ini: " + why);
    return plan;
}

void refuseFiles(const GameTree& tree, std::vector<std::string>& refusals) {
    for (const RefusedFile& file : tree.refused)
        refusals.push_back("Astrovance/" + file.key + ": " + file.reason);
}

int finishRefused(const std::vector<std::string>& refusals, std::ostream& err) {
    err << "orv-publish: nothing was published:\n";
    for (const std::string& refusal : refusals) err << "  " << refusal << "\n";
    return 1;
}

void showWarnings(const VersionPlan& plan, std::ostream& err) {
    for (const std::string& warning : plan.warnings)
        err << "orv-publish: warning: " << warning << "\n";
}

void makeParent(const fs::path& file) {
    std::error_code error;
    fs::create_directories(file.parent_path(), error);
    if (error) throw std::runtime_error(pathText(file.parent_path()) + " cannot be made");
}

}  // namespace

int publishInc(const PublishRequest& request, std::ostream& out, std::ostream& err,
               ProgressLine& progress) {
    const GameTree before = listGameTree(request.from);
    const GameTree after = listGameTree(request.to);
    std::vector<std::string> refusals;
    refuseFiles(after, refusals);
    for (const TreeFile& file : after.files) {
        if (file.key == "PrePatch.ini" || file.key == "PostPatch.ini")
            refusals.push_back("Astrovance/" + file.key +
                               ": it would lie in the update's folder in place of the update's "
                               "own script of that name");
    }
    const std::string path = "/updates/" + request.version + "/hashes.ini";
    const VersionPlan plan =
        planVersionFile(request, {request.version, "inc", path, request.launcherVersion});
    refusals.insert(refusals.end(), plan.refusals.begin(), plan.refusals.end());
    if (!refusals.empty()) return finishRefused(refusals, err);

    const auto oldSums = hashTree(before.files, "reading OLD", progress);
    const auto newSums = hashTree(after.files, "reading NEW", progress);
    std::map<std::string, std::pair<std::uint32_t, std::uint64_t>> old;
    for (std::size_t i = 0; i < before.files.size(); ++i)
        old[before.files[i].key] = {oldSums[i], before.files[i].size};
    std::vector<std::size_t> changed;
    std::uint64_t changedBytes = 0;
    for (std::size_t i = 0; i < after.files.size(); ++i) {
        const auto found = old.find(after.files[i].key);
        const bool same = found != old.end() && found->second.first == newSums[i] &&
                          found->second.second == after.files[i].size;
        if (found != old.end()) old.erase(found);
        if (same) continue;
        changed.push_back(i);
        changedBytes += after.files[i].size;
    }
    // What is left of OLD is what NEW no longer has.
    if (changed.empty() && (old.empty() || request.keepRemoved))
        return finishRefused({"OLD and NEW hold the same files: there is nothing to publish"}, err);
    showWarnings(plan, err);

    const fs::path root = toPath(request.root);
    StagedFolder folder(root / "updates" / toPath(request.version));
    progress.begin("copying", changed.size(), changedBytes);
    std::vector<std::pair<std::string, std::string>> manifest;
    for (const std::size_t i : changed) {
        const TreeFile& file = after.files[i];
        const fs::path target = folder.path() / toPath(file.key);
        makeParent(target);
        if (copyWithChecksum(file.path, pathText(target)) != newSums[i])
            throw std::runtime_error(file.path + " changed while it was published: publish again");
        manifest.emplace_back(file.key, formatChecksum(newSums[i]));
        progress.advance(1, file.size);
    }
    progress.clear();
    replaceFile(folder.path() / "hashes.ini", manifestText(manifest));
    writeStrongHashes(folder.path());
    const bool deletes = !old.empty() && !request.keepRemoved;
    if (deletes) {
        std::string script = "; files that " + request.version + " no longer has\r\n";
        for (const auto& [key, sum] : old) script += "DELETE = " + scriptPath(key) + "\r\n";
        replaceFile(folder.path() / "PrePatch.ini", script);
    }
    if (request.key) signUpdateFolder(folder.path(), *request.key);
    folder.commit();
    replaceFile(root / "version.ini", plan.edited);
    if (request.key) signBeside(root / "version.ini", *request.key);

    out << "inc " << request.version << ": " << changed.size() << " new or changed file(s), "
        << byteCount(changedBytes) << ", in "
        << pathText(root / "updates" / toPath(request.version)) << "\n";
    if (!old.empty())
        out << "  " << old.size() << " file(s) that NEW no longer has "
            << (deletes ? "are deleted by PrePatch.ini" : "stay on the players' disks") << "\n";
    out << "  version.ini: current version " << request.version << ", " << request.version
        << " = inc, " << path << "\n";
    return 0;
}

int publishFull(const PublishRequest& request, std::ostream& out, std::ostream& err,
                ProgressLine& progress, ZipLimits limits) {
    const GameTree tree = listGameTree(request.tree);
    std::vector<std::string> refusals;
    refuseFiles(tree, refusals);
    if (tree.files.empty() && tree.refused.empty())
        refusals.push_back(request.tree + ": the game folder holds no files");
    const std::string path = "/full/" + request.version + "/ORV.zip";
    const VersionPlan plan =
        planVersionFile(request, {request.version, "full", path, request.launcherVersion});
    refusals.insert(refusals.end(), plan.refusals.begin(), plan.refusals.end());
    if (!refusals.empty()) return finishRefused(refusals, err);
    showWarnings(plan, err);

    const fs::path root = toPath(request.root);
    StagedFolder folder(root / "full" / toPath(request.version));
    const std::string zipPath = pathText(folder.path() / "ORV.zip");
    const PackedArchive packed = packArchive(tree.files, zipPath, progress, limits);
    progress.clear();
    std::vector<std::pair<std::string, std::string>> manifest;
    std::uint64_t bytes = 0;
    std::size_t deflated = 0;
    for (const PackedFile& file : packed.files) {
        manifest.emplace_back(file.key, formatChecksum(file.crc));
        bytes += file.size;
        deflated += file.deflated;
    }
    const std::string archiveChecksum = formatChecksum(hashFile(zipPath));
    replaceFile(folder.path() / "hashes.ini", manifestText(manifest));
    replaceFile(folder.path() / "full.ini", "full.zip = " + archiveChecksum + "\r\n");
    if (request.key) signUpdateFolder(folder.path(), *request.key);
    folder.commit();
    replaceFile(root / "version.ini", plan.edited);
    if (request.key) signBeside(root / "version.ini", *request.key);

    out << "full " << request.version << ": " << packed.files.size() << " file(s), "
        << byteCount(bytes) << " packed into " << byteCount(packed.archiveBytes) << " (" << deflated
        << " deflated, " << packed.files.size() - deflated << " stored)\n"
        << "  " << pathText(root / "full" / toPath(request.version) / "ORV.zip") << ", checksum "
        << archiveChecksum << "\n"
        << "  version.ini: current version " << request.version << ", " << request.version
        << " = full, " << path << "\n";
    return 0;
}
