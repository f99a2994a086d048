// Small documents from the two servers, read into memory.
#pragma once

#include <chrono>
#include <optional>
#include <string>

struct FetchedDocument {
    std::optional<std::string> body;  // nothing when no attempt brought a 200 answer
    long status = 0;                  // of the last answer; 0 when none came
};

// GET with up to three attempts, a short pause at random between them. Never throws. With a
// `deadline`, nothing of the fetch goes on beyond it: for a check that must not hold up the start
// when the server does not answer.
FetchedDocument fetchDocument(
    const std::string& url, std::chrono::milliseconds deadline = std::chrono::milliseconds::zero());

// The body of a 200 answer, or the empty text when none came.
std::string fetchUrl(const std::string& url);
