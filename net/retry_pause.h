// The pause between two attempts of a download: growing, so that ten attempts outlast a short
// outage of the server (a restart, a proxy's hiccup) instead of all failing within one second.
#pragma once

#include <chrono>

inline constexpr std::chrono::milliseconds defaultRetryPauseUnit{500};

// The pause after the `failures`-th failed attempt: one unit after the first, doubling, at most
// sixteen units (0.5 s to 8 s by default; ten attempts span about a minute).
std::chrono::milliseconds retryPause(int failures);

// Process-wide; tests shorten it.
void setRetryPauseUnit(std::chrono::milliseconds unit);
