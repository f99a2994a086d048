#include "core/format.h"

#include <charconv>
#include <chrono>

std::string lowerHex(std::uint64_t value) {
    char buffer[16];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, 16);
    return std::string(buffer, result.ptr);
}

std::string formatLocalTime(std::time_t time, const char* pattern) {
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &time);
#else
    localtime_r(&time, &local);
#endif
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, pattern, &local);
    return std::string(buffer, length);
}

std::time_t currentSeconds() {
    using namespace std::chrono;
    return static_cast<std::time_t>(
        duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

std::u16string decimal(std::int64_t value) {
    const std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
}
