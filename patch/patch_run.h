// One patch run: compare the installed version with the server's, apply the listed updates in
// order, each framed by its scripts, and record the version reached.
#pragma once

#include <string>

#include "net/endpoints.h"
#include "patch/version_file.h"

// The version of the last update that a run applied; kept for the life of the process.
extern std::string lastAppliedVersion;

// The decision and update loop. Runs on the patch thread only; reports through PatchProgress.
// `serverUrl` is the download server's origin that update paths are appended to.
void runPatch(const VersionInfo& info, const std::string& serverUrl = downloadServerUrl);

// The body of one patch run: installed version, version file, runPatch.
void patchRunMain(const std::string& serverUrl = downloadServerUrl);
