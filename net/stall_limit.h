// How long a transfer may go without receiving a single byte before it counts as failed.
#pragma once

inline constexpr int defaultStallSeconds = 60;

// Process-wide; applies to transfers started afterwards. Tests shorten it.
void setStallSeconds(int seconds);
int stallSeconds();
