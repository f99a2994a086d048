// Small documents from the two servers, read into memory.
#pragma once

#include <string>

// GET with up to three attempts; the body of a 200 answer, or the empty text. Never throws.
std::string fetchUrl(const std::string& url);
