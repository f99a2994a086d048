// Small text forms shared by several parts of the launcher.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Lower-case hexadecimal without prefix and without leading zeros ("0" for zero).
std::string lowerHex(std::uint64_t value);

// Decimal digits of `value` as UTF-16 text, for messages to the page.
std::u16string decimal(std::int64_t value);

// The local time of `time` formatted with strftime's `pattern`.
std::string formatLocalTime(std::time_t time, const char* pattern);

// The current wall-clock time in whole seconds.
std::time_t currentSeconds();
