#include "publish/version_rules.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "patch/version_file.h"

namespace {

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// The run of digits from `at`, without leading zeros.
std::string numberAt(const std::string& text, std::size_t& at) {
    const std::size_t start = at;
    while (at < text.size() && isDigit(text[at])) ++at;
    std::string digits = text.substr(start, at - start);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    return digits;
}

}  // namespace

std::string versionTextRefusal(const std::string& version) {
    if (version.empty()) return "a version cannot be empty";
    const bool plain = std::all_of(version.begin(), version.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
               c == '+';
    });
    if (!plain || version == "." || version == "..")
        return "a version may hold only letters, digits, \".\", \"-\", \"_\" and \"+\": it names a "
               "folder and goes into URLs as it is";
    if (version == "0.0.0")
        return "0.0.0 is what the launcher records for an installation without any version";
    return {};
}

bool readsLower(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const std::string x = numberAt(a, i), y = numberAt(b, j);
            if (x.size() != y.size()) return x.size() < y.size();
            if (x != y) return x < y;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::pair<std::string, std::string>> orderSurprises(
    const std::vector<std::string>& versions) {
    const std::set<std::string> unique(versions.begin(), versions.end());
    std::vector<std::pair<std::string, std::string>> surprises;
    for (const std::string& a : unique)
        for (const std::string& b : unique)
            if (readsLower(a, b) && versionLess(b, a)) surprises.emplace_back(a, b);
    return surprises;
}
