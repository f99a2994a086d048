// The pause between two attempts of a transfer: growing, so that ten attempts outlast a short
// outage of the server (a restart, a proxy's hiccup) instead of all failing within one second,
// and drawn at random, so that the launchers an overloaded server turned away together do not all
// come back at the same instant.
#pragma once

#include <chrono>
#include <optional>

inline constexpr std::chrono::milliseconds defaultRetryPauseUnit{500};

// The pause after the `failures`-th failed attempt: around a middle of one unit after the first
// failure, doubling up to sixteen units, anywhere from half to one and a half times that middle.
// Ten attempts of a download span about a minute, as without the randomness.
std::chrono::milliseconds retryPause(int failures);

// The pause before the next attempt when the server asked for `asked` (Retry-After) and `waited`
// went by in pauses already: the server's wish, a little later at random, as long as that fits in
// what is left of a download's usual minute of pauses; nothing when it does not.
std::optional<std::chrono::milliseconds> pauseAskedFor(std::chrono::milliseconds asked,
                                                       std::chrono::milliseconds waited);

// Process-wide; tests shorten it.
void setRetryPauseUnit(std::chrono::milliseconds unit);
