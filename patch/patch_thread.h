// The patch thread that the browser host starts, detached, on every load of the patcher page.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// True while a patch run executes; lets only one run exist at a time.
extern std::atomic<bool> patchRunning;
// The number of patch runs claimed since the start: tells one run's end from the next one's.
extern std::atomic<std::uint32_t> patchRunsClaimed;

// One patch run against the download server, unless another is in progress (then it ends at
// once and touches nothing). Afterwards `patchRunning` is false and the phase is Complete, also
// when the run failed with an error.
void patchThread();

// The same against another download server origin (tests, local demo data).
void patchThreadFrom(const std::string& serverUrl);

// The two halves of patchThread, for a caller that claims the run before it starts the thread,
// so that a thread scheduled late can never start a second run after the first has ended.
bool claimPatchRun();  // false when a run is in progress
void runClaimedPatch(const std::string& serverUrl);
