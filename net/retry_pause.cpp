#include "net/retry_pause.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>

#include "platform/platform.h"

namespace {

std::atomic<std::chrono::milliseconds::rep> pauseUnit{defaultRetryPauseUnit.count()};
constexpr int longestPauseInUnits = 16;
// The middles of the nine pauses between ten attempts: 1 + 2 + 4 + 8 + 5 * 16 units.
constexpr int spanInUnits = 95;

// A fraction in [0, 1). Each thread draws from its own generator, seeded by the system.
double randomFraction() {
    thread_local std::minstd_rand generator = [] {
        std::uint32_t seed = 0;
        if (!platform::secureRandom(&seed, sizeof seed)) seed = std::random_device{}();
        return std::minstd_rand(seed | 1);
    }();
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

std::chrono::milliseconds scaled(std::chrono::milliseconds pause, double factor) {
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(static_cast<double>(pause.count()) * factor));
}

}  // namespace

std::chrono::milliseconds retryPause(int failures) {
    const int doublings = std::clamp(failures - 1, 0, 4);
    const int units = std::min(1 << doublings, longestPauseInUnits);
    return scaled(std::chrono::milliseconds(pauseUnit.load() * units), 0.5 + randomFraction());
}

std::optional<std::chrono::milliseconds> pauseAskedFor(std::chrono::milliseconds asked,
                                                       std::chrono::milliseconds waited) {
    const std::chrono::milliseconds left =
        std::chrono::milliseconds(pauseUnit.load() * spanInUnits) - waited;
    if (asked <= std::chrono::milliseconds::zero() || asked > left) return std::nullopt;
    // Everybody was told the same: up to a quarter more spreads their return.
    return std::min(scaled(asked, 1.0 + randomFraction() / 4), left);
}

void setRetryPauseUnit(std::chrono::milliseconds unit) {
    pauseUnit.store(unit.count());
}
