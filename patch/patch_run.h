// One patch run: compare the installed version with the server's, apply the listed updates in
// order, each framed by its scripts, and record the version reached.
#pragma once

#include <string>

#include "net/endpoints.h"
#include "patch/version_file.h"

// The version of the last update that a run applied; kept for the life of the process.
extern std::string lastAppliedVersion;

// The decision and update loop. Runs on the patch thread only; reports through PatchProgress.
// `serverUrl` is the download server's origin that update paths are appended to;
// `versionFileFetched` tells whether the version file came from it at all.
void runPatch(const VersionInfo& info, const std::string& serverUrl = downloadServerUrl,
              bool versionFileFetched = true);

// The body of one patch run: installed version, version file, runPatch.
void patchRunMain(const std::string& serverUrl = downloadServerUrl);

// The player asked for a repair: the installation counts as having no version. One step with the
// run's record of the version it reached, so a repair never lands between a run's look at the
// repairs and its write.
void resetVersionForRepair();

// The run is over without a usable answer: the texts say it was incomplete, and the window moves
// on as after any run.
void finishRunIncomplete();
