#include "game/client_token.h"

#include <array>
#include <cstdint>

#include "core/format.h"
#include "core/ini_document.h"
#include "core/user_paths.h"
#include "platform/platform.h"

std::string loadClientToken() {
    const std::string path = clientSettingsPath.get();
    std::string token = IniDocument::getValue(path, "CLIENT", "token");
    if (!token.empty()) return token;
    token = makeClientToken();
    IniDocument::setValue(path, "CLIENT", "token", token);
    return token;
}

std::string makeClientToken() {
    std::string seed = formatLocalTime(currentSeconds(), "%Y-%m-%d %H:%M:%S") + "QZTKW";
    // The time alone is guessable and shared by installations made in the same second, yet the
    // token is the only key to the player's settings and account at the web service.
    std::array<char, 16> random{};
    platform::secureRandom(random.data(), random.size());
    seed.append(random.data(), random.size());

    std::uint32_t hash = 2166136261u;
    for (unsigned char byte : seed) {
        hash ^= byte;
        hash *= 16777619u;
    }
    return lowerHex(hash);
}
