#include "patch/patch_thread.h"

#include <exception>

#include "core/log.h"
#include "core/patch_progress.h"
#include "net/endpoints.h"
#include "patch/patch_run.h"

std::atomic<bool> patchRunning{false};

void patchThread() {
    patchThreadFrom(downloadServerUrl);
}

void patchThreadFrom(const std::string& serverUrl) {
    if (claimPatchRun()) runClaimedPatch(serverUrl);
}

bool claimPatchRun() { return !patchRunning.exchange(true); }

void runClaimedPatch(const std::string& serverUrl) {
    // The run reaches the file system and the text conversions in many places; an error there
    // ends this run, never the launcher.
    try {
        patchRunMain(serverUrl);
    } catch (const std::exception& error) {
        logLine(std::string("Patch run failed: ") + error.what());
    } catch (...) {
        logLine("Patch run failed: unknown error");
    }
    patchRunning.exchange(false);
    PatchProgress.phase = Complete;
}
