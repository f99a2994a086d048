#pragma once

#include <nlohmann/json.hpp>

#include <string>

// A client's game settings as the web service keeps them.
struct GameSettings {
    bool windowMode = true;
    bool autoConnect = false;
    bool updateLanList = true;
    bool use4GbVram = false;
    bool runInBackground = false;
};

// The answer of "getgamesettings": each switch as the string "true" or "off". Never "false": the
// launcher turns the raw text "false" (in quotes) into null and would reject the whole answer.
nlohmann::json settingsToJson(const GameSettings& settings);

// Reads settings back from the store; members that are missing or odd keep their defaults.
GameSettings settingsFromJson(const nlohmann::json& json);

// Applies the members present in a page's update (booleans, or the strings "true" and "off").
// Returns an error text and leaves `settings` unchanged when the update is not acceptable.
std::string applySettingsUpdate(GameSettings& settings, const nlohmann::json& update);
