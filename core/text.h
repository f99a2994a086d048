// Conversion between narrow text and UTF-16 (the window's and the page's text), and between narrow
// paths and file-system paths. Narrow text is the process's code page on Windows (UTF-8 by the
// program's manifest) and UTF-8 on Linux, whatever the locale.
#pragma once

#include <filesystem>
#include <string>

// Both stop at the first NUL of the input; a failed conversion gives the empty text.
std::u16string toWide(std::string narrow);
std::string toNarrow(std::u16string wide);

// The launcher keeps paths as narrow text, which the C runtime's fopen reads in the process's
// code page. std::filesystem on Windows would read the same bytes as Latin-1 (libstdc++), so
// every narrow path reaches std::filesystem through these two.
std::filesystem::path toPath(const std::string& narrow);
std::string pathText(const std::filesystem::path& path);
// The same for a path's native text, which need not be a whole path object.
std::string nativePathText(const std::filesystem::path::string_type& native);
