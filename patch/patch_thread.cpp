#include "patch/patch_thread.h"

#include <exception>

#include "core/log.h"
#include "core/patch_progress.h"
#include "net/endpoints.h"
#include "patch/patch_run.h"

std::atomic<bool> patchRunning{false};
std::atomic<std::uint32_t> patchRunsClaimed{0};

void patchThread() {
    patchThreadFrom(downloadServerUrl);
}

void patchThreadFrom(const std::string& serverUrl) {
    if (claimPatchRun()) runClaimedPatch(serverUrl);
}

bool claimPatchRun() {
    if (patchRunning.exchange(true)) return false;
    ++patchRunsClaimed;
    return true;
}

void runClaimedPatch(const std::string& serverUrl) {
    // The run reaches the file system and the text conversions in many places; an error there
    // ends this run, never the launcher.
    try {
        // A repair asked for during a run gets its own run right after it.
        for (std::uint32_t repairs = PatchProgress.repairs;; repairs = PatchProgress.repairs) {
            patchRunMain(serverUrl);
            if (PatchProgress.repairs == repairs) break;
        }
    } catch (const std::exception& error) {
        logLine(std::string("Patch run failed: ") + error.what());
        finishRunIncomplete();
    } catch (...) {
        logLine("Patch run failed: unknown error");
        finishRunIncomplete();
    }
    patchRunning.exchange(false);
    PatchProgress.phase = Complete;
}
