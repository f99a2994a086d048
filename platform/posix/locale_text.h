#pragma once

#include <string>

namespace platform {

// A narrow (UTF-8) text in the character set of the locale, for a terminal to show; characters
// the locale lacks become '?'.
std::string localeText(const std::string& text);

}  // namespace platform
