#include "core/text.h"

#include "platform/platform.h"

std::u16string toWide(std::string narrow) { return platform::narrowToWide(narrow.c_str()); }

std::string toNarrow(std::u16string wide) { return platform::wideToNarrow(wide.c_str()); }
