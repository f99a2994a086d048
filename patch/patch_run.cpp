#include "patch/patch_run.h"

#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "integrity/exclusions.h"
#include "integrity/scan.h"
#include "patch/patch_script.h"
#include "patch/updates.h"

std::string lastAppliedVersion;

void runPatch(const VersionInfo& info, const std::string& serverUrl) {
    const std::string settingsPath = clientSettingsPath.get();
    const std::string client = readClientVersion();
    const std::string& server = info.currentVersion;

    if (versionLess(server, client)) {
        // Unknown to the server (or no version file at all): start over from nothing, so the
        // whole list is applied.
        IniDocument::setValue(settingsPath, "CLIENT", "Version", "0.0.0");
    } else if (client == server) {
        PatchProgress.fileProgress.exchange(100);
        PatchProgress.overallProgress.exchange(100);
        return;
    }

    PatchProgress.stepCount = static_cast<std::int32_t>(info.updates.size());
    PatchProgress.step = 0;

    // Only what this run applied is recorded: a run that applied nothing must not bring back the
    // version of an earlier run (for instance after a repair reset the installation).
    bool applied = false;
    std::int32_t step = 0;
    for (const UpdateEntry& update : info.updates) {
        PatchProgress.step = ++step;
        // Every step starts from a fresh picture of the installation, which the updates consult.
        // The first reads every file; the later ones read what changed since.
        hashExistingFiles(installationRoot, excludedCount, scanLock,
                          step == 1 ? ScanMode::Full : ScanMode::Incremental);
        if (versionLess(server, update.version)) continue;

        const std::string updateUrl = serverUrl + update.path;
        runPatchScript(true, updateUrl);
        if (update.type == "full") {
            updateFilesFromZip(updateUrl, installationRoot);
        } else if (update.type == "inc") {
            PatchProgress.phase = Patching;
            updateFilesFromWeb(updateUrl, installationRoot);
        }
        lastAppliedVersion = update.version;
        applied = true;
        runPatchScript(false, updateUrl);
    }

    if (applied && !lastAppliedVersion.empty())
        IniDocument::setValue(settingsPath, "CLIENT", "Version", lastAppliedVersion);
}

void patchRunMain(const std::string& serverUrl) {
    readClientVersion();
    runPatch(fetchVersionInfo(serverUrl), serverUrl);
}
