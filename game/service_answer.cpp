#include "game/service_answer.h"

#include <algorithm>

#include <nlohmann/json.hpp>

std::string nullQuotedFalse(std::string body) {
    static const std::string quotedFalse = "\"false\"";
    static const std::string null = "null";
    for (auto at = body.find(quotedFalse); at != std::string::npos;
         at = body.find(quotedFalse, at + null.size())) {
        body.replace(at, quotedFalse.size(), null);
    }
    return body;
}

std::optional<std::vector<std::string>> readStringMembers(
    const std::string& body, std::initializer_list<const char*> names) {
    // The answers come from outside and are read on the UI thread: no exception may leave here.
    const auto answer = nlohmann::json::parse(body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) return std::nullopt;
    std::vector<std::string> values;
    for (const char* name : names) {
        const auto member = answer.find(name);
        if (member == answer.end()) {
            values.emplace_back();
        } else if (member->is_string()) {
            values.push_back(member->get<std::string>());
        } else {
            return std::nullopt;
        }
    }
    return values;
}

bool breaksStoredLine(const std::string& text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == '\x7F'; });
}
