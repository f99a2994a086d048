// Small documents from the two servers, read into memory.
#pragma once

#include <optional>
#include <string>

struct FetchedDocument {
    std::optional<std::string> body;  // nothing when no attempt brought a 200 answer
    long status = 0;                  // of the last answer; 0 when none came
};

// GET with up to three attempts. Never throws.
FetchedDocument fetchDocument(const std::string& url);

// The body of a 200 answer, or the empty text when none came.
std::string fetchUrl(const std::string& url);
