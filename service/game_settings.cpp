#include "service/game_settings.h"

#include <array>
#include <utility>

using nlohmann::json;

namespace {

using Member = std::pair<const char*, bool GameSettings::*>;

constexpr std::array<Member, 5> members = {{
    {"windowmode", &GameSettings::windowMode},
    {"autoconnect", &GameSettings::autoConnect},
    {"update_lanlist", &GameSettings::updateLanList},
    {"use4gbvram", &GameSettings::use4GbVram},
    {"runinbackground", &GameSettings::runInBackground},
}};

const char* switchText(bool on) {
    return on ? "true" : "off";
}

}  // namespace

json settingsToJson(const GameSettings& settings) {
    json answer = json::object();
    for (const auto& [name, field] : members) answer[name] = switchText(settings.*field);
    return answer;
}

GameSettings settingsFromJson(const json& stored) {
    GameSettings settings;
    if (!stored.is_object()) return settings;
    for (const auto& [name, field] : members) {
        const auto found = stored.find(name);
        if (found != stored.end() && found->is_string()) settings.*field = *found == "true";
    }
    return settings;
}

std::string applySettingsUpdate(GameSettings& settings, const json& update) {
    if (!update.is_object()) return "Settings must be a JSON object.";
    GameSettings changed = settings;
    for (const auto& [name, field] : members) {
        const auto found = update.find(name);
        if (found == update.end()) continue;
        if (found->is_boolean()) {
            changed.*field = found->get<bool>();
        } else if (*found == "true" || *found == "off") {
            changed.*field = *found == "true";
        } else {
            return std::string("Invalid value for ") + name + ".";
        }
    }
    settings = changed;
    return {};
}
