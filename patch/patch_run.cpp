#include "patch/patch_run.h"

#include <mutex>

#include "core/disk_space.h"
#include "core/ini_document.h"
#include "core/log.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "integrity/exclusions.h"
#include "integrity/scan.h"
#include "net/fetch.h"
#include "patch/patch_script.h"
#include "patch/update_signatures.h"
#include "patch/updates.h"

std::string lastAppliedVersion;

namespace {

// Guards the recorded version against a repair that comes while a run records it.
std::mutex versionLock;

// The run is over: the window's timer moves on to the client page once both stand at 100.
void finishRun(RunOutcome outcome) {
    PatchProgress.outcome = outcome;
    PatchProgress.fileProgress.exchange(100);
    PatchProgress.overallProgress.exchange(100);
}

// One update from its pre-patch script to its post-patch script; false when any part failed.
bool applyUpdate(const UpdateEntry& update, const std::string& updateUrl) {
    if (!runPatchScript(true, updateUrl)) return false;
    bool complete = true;
    if (update.type == "full") {
        complete = updateFilesFromZip(updateUrl, installationRoot);
    } else if (update.type == "inc") {
        PatchProgress.phase = Patching;
        complete = updateFilesFromWeb(updateUrl, installationRoot);
    }
    // The post-patch script may take away what the update replaced: after a failed update it
    // waits for the next start, which applies the whole update again.
    return complete && runPatchScript(false, updateUrl);
}

}  // namespace

void runPatch(const VersionInfo& info, const std::string& serverUrl, bool versionFileFetched) {
    const std::string settingsPath = clientSettingsPath.get();
    const std::string client = readClientVersion();
    const std::string& server = info.currentVersion;
    const std::uint32_t repairs = PatchProgress.repairs;
    PatchProgress.outcome = Applied;
    diskFilledUp = false;

    if (server.empty()) {
        // Nothing to compare with: the installation stays as it is, recorded version included.
        logLine("No version from the download server: the installation was not checked");
        return finishRun(versionFileFetched ? NoServerVersion : Unchecked);
    }
    if (versionLess(server, client)) {
        // Unknown to the server: start over from nothing, so the whole list is applied.
        IniDocument::setValue(settingsPath, "CLIENT", "Version", "0.0.0");
    } else if (client == server) {
        PatchProgress.fileProgress.exchange(100);
        PatchProgress.overallProgress.exchange(100);
        return;
    }

    PatchProgress.stepCount = static_cast<std::int32_t>(info.updates.size());
    PatchProgress.step = 0;

    // Only what this run applied is recorded: a run that applied nothing must not bring back the
    // version of an earlier run (for instance after a repair reset the installation). An update
    // that failed stops the run: those after it build on it.
    std::string reached;
    bool complete = true;
    std::int32_t step = 0;
    for (const UpdateEntry& update : info.updates) {
        if (PatchProgress.repairs != repairs) break;
        PatchProgress.step = ++step;
        // Every step starts from a fresh picture of the installation, which the updates consult.
        // Each reads what changed since the last scan (of this run, or kept from the last start);
        // the first after a repair reads every file.
        hashExistingFiles(installationRoot, excludedCount, scanLock,
                          step == 1 && repairs != 0 ? ScanMode::Full : ScanMode::Incremental);
        if (versionLess(server, update.version)) continue;

        if (!applyUpdate(update, serverUrl + update.path)) {
            logLine("Update " + update.version +
                    " is incomplete and will be tried again at the next start");
            complete = false;
            break;
        }
        reached = update.version;
    }

    {
        const std::lock_guard lock(versionLock);
        if (PatchProgress.repairs != repairs) {
            logLine("A repair was asked for during the run: the repair's own run follows");
            return;
        }
        if (!reached.empty()) {
            lastAppliedVersion = reached;
            IniDocument::setValue(settingsPath, "CLIENT", "Version", lastAppliedVersion);
        }
    }
    finishRun(complete ? Applied : diskFilledUp ? DiskFull : Incomplete);
}

void patchRunMain(const std::string& serverUrl) {
    readClientVersion();
    const SignedDocument versionFile = fetchVersionFile(serverUrl);
    if (!versionFile.body && !versionFile.refused)
        logLine("The download server could not be reached");
    runPatch(readVersionFile(versionFile.body.value_or("")), serverUrl,
             versionFile.body.has_value());
}

void resetVersionForRepair() {
    const std::lock_guard lock(versionLock);
    ++PatchProgress.repairs;
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", "0.0.0");
}

void finishRunIncomplete() {
    finishRun(Incomplete);
}
