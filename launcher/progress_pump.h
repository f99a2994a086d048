#pragma once

#include <chrono>

// How long the tick waits before showing the client page once the versions match.
extern std::chrono::milliseconds clientPageDelay;
// How long after a version check whose answer differed from the installed version the next one
// may start.
extern std::chrono::milliseconds versionRecheckPause;

// One tick of the 150 ms timer: status texts and progress to the page, and the move to the
// client page once the patch run is complete.
void progressTick();

// Until the version check that a tick started has its answer: for the test suites.
void waitForVersionCheck();
