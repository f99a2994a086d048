// Conversion between the process's narrow code page and UTF-16 (the window's and the page's text).
#pragma once

#include <string>

// Both stop at the first NUL of the input; a failed conversion gives the empty text.
std::u16string toWide(std::string narrow);
std::string toNarrow(std::u16string wide);
