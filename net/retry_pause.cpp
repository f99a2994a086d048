#include "net/retry_pause.h"

#include <algorithm>
#include <atomic>

namespace {
std::atomic<std::chrono::milliseconds::rep> pauseUnit{defaultRetryPauseUnit.count()};
constexpr int longestPauseInUnits = 16;
}  // namespace

std::chrono::milliseconds retryPause(int failures) {
    const int doublings = std::clamp(failures - 1, 0, 4);
    const int units = std::min(1 << doublings, longestPauseInUnits);
    return std::chrono::milliseconds(pauseUnit.load() * units);
}

void setRetryPauseUnit(std::chrono::milliseconds unit) {
    pauseUnit.store(unit.count());
}
