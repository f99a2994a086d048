// What a version may look like, and where the launcher's order of versions (byte by byte) and a
// person's (numbers as numbers) part.
#pragma once

#include <string>
#include <vector>

// Why `version` cannot be published, or "" when it can. It names a folder on the server and is
// put into URLs as it is.
std::string versionTextRefusal(const std::string& version);

// True when a person reads `a` as the lower version: runs of digits compare as numbers.
bool readsLower(const std::string& a, const std::string& b);

// Pairs (a, b) of the versions that a person reads as a < b while the launcher takes b for lower.
std::vector<std::pair<std::string, std::string>> orderSurprises(
    const std::vector<std::string>& versions);
