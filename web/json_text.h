#pragma once

#include <string>

// The text with what JSON requires escaped inside a string: quote, backslash and control
// characters, and a lone UTF-16 surrogate replaced by U+FFFD. Values inserted into the page's
// messages go through this, so a file name can neither break the page's parsing nor add members
// of its own.
std::u16string jsonEscape(const std::u16string& text);
