#pragma once

#include <chrono>

// How long the tick waits before showing the client page once the versions match.
extern std::chrono::milliseconds clientPageDelay;

// One tick of the 150 ms timer: status texts and progress to the page, and the move to the
// client page once the patch run is complete.
void progressTick();
