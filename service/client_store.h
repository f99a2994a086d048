#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "service/game_settings.h"

// What the web service knows about one launcher installation, keyed by its client token.
struct ClientRecord {
    std::string accountName;
    GameSettings settings;
};

// Whether a token is acceptable as a key and in a cookie: 1 to 64 letters, digits, "-", "_", ".".
bool isValidToken(const std::string& token);

// The per-token store, kept in one JSON file that is rewritten as a whole (temporary file, then
// rename) whenever something changes, so a crash never leaves half a file behind. The secret that
// signs account names is made on first start and kept in the same file.
class ClientStore {
public:
    // Loads `file`, or creates it (and its folder) when it does not exist. Returns an error text
    // when the file exists but cannot be read, so that nothing overwrites a store it cannot parse.
    std::string open(const std::filesystem::path& file);

    std::optional<ClientRecord> find(const std::string& token) const;

    // Registers a new token with the default settings and a freshly issued account name; a known
    // token stays as it is. False when the store could not be written (nothing is registered).
    bool registerClient(const std::string& token);

    // False when the token is unknown or the store could not be written (nothing changes).
    bool saveSettings(const std::string& token, const GameSettings& settings);

    std::string signature(const std::string& accountName) const;

    // A bound on the number of clients, so that a flood of made-up tokens cannot grow the file
    // without end.
    static constexpr size_t maxClients = 100000;

private:
    bool write() const;  // the caller holds mutex_
    std::string issueAccountName() const;

    mutable std::mutex mutex_;
    std::filesystem::path file_;
    std::string secret_;
    std::map<std::string, ClientRecord> clients_;
};

// Replaces `file` with `content` through a temporary file in the same folder, flushed to disk and
// renamed over the old one.
bool writeFileAtomically(const std::filesystem::path& file, const std::string& content);
