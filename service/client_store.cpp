#include "service/client_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "service/account_signature.h"

namespace fs = std::filesystem;
using nlohmann::json;

bool isValidToken(const std::string& token) {
    if (token.empty() || token.size() > 64) return false;
    return std::all_of(token.begin(), token.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.';
    });
}

bool writeFileAtomically(const fs::path& file, const std::string& content) {
    const fs::path temporary = file.string() + ".tmp-" + std::to_string(::getpid());
    // The store holds the signing secret: readable by its owner only.
    const int descriptor =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (descriptor < 0) return false;
    size_t written = 0;
    while (written < content.size()) {
        const ssize_t result =
            ::write(descriptor, content.data() + written, content.size() - written);
        if (result <= 0) break;
        written += static_cast<size_t>(result);
    }
    const bool complete = written == content.size() && ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    std::error_code error;
    if (complete && closed) fs::rename(temporary, file, error);
    if (!complete || !closed || error) {
        fs::remove(temporary, error);
        return false;
    }
    return true;
}

std::string ClientStore::open(const fs::path& file) {
    std::lock_guard lock(mutex_);
    file_ = file;
    clients_.clear();
    secret_.clear();

    std::error_code error;
    if (!fs::exists(file, error)) {
        if (file.has_parent_path()) fs::create_directories(file.parent_path(), error);
        secret_ = randomHex(32);
        if (!write()) return "cannot write the client store " + file.string();
        return {};
    }

    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) return "cannot read the client store " + file.string();
    const json stored = json::parse(text.str(), nullptr, false);
    if (stored.is_discarded() || !stored.is_object() || !stored.contains("secret") ||
        !stored["secret"].is_string() || stored["secret"].get<std::string>().empty()) {
        return "the client store " + file.string() +
               " is damaged; move it away to start with an empty store";
    }
    secret_ = stored["secret"].get<std::string>();
    if (const auto clients = stored.find("clients");
        clients != stored.end() && clients->is_object()) {
        for (const auto& [token, entry] : clients->items()) {
            if (!isValidToken(token) || !entry.is_object()) continue;
            ClientRecord record;
            record.accountName = entry.value("accountName", std::string());
            record.settings = settingsFromJson(entry.value("settings", json::object()));
            if (record.accountName.empty()) continue;
            clients_.emplace(token, std::move(record));
        }
    }
    return {};
}

std::optional<ClientRecord> ClientStore::find(const std::string& token) const {
    std::lock_guard lock(mutex_);
    const auto found = clients_.find(token);
    if (found == clients_.end()) return std::nullopt;
    return found->second;
}

bool ClientStore::registerClient(const std::string& token) {
    std::lock_guard lock(mutex_);
    if (clients_.count(token)) return true;
    if (!isValidToken(token) || clients_.size() >= maxClients) return false;
    clients_.emplace(token, ClientRecord{issueAccountName(), GameSettings{}});
    if (write()) return true;
    clients_.erase(token);
    return false;
}

bool ClientStore::saveSettings(const std::string& token, const GameSettings& settings) {
    std::lock_guard lock(mutex_);
    const auto found = clients_.find(token);
    if (found == clients_.end()) return false;
    const GameSettings previous = found->second.settings;
    found->second.settings = settings;
    if (write()) return true;
    found->second.settings = previous;
    return false;
}

std::string ClientStore::signature(const std::string& accountName) const {
    std::lock_guard lock(mutex_);
    return signAccountName(secret_, accountName);
}

std::string ClientStore::issueAccountName() const {
    for (;;) {
        std::string id = randomHex(3);
        std::transform(id.begin(), id.end(), id.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        const std::string name = "Pilot-" + id;
        const bool taken = std::any_of(clients_.begin(), clients_.end(), [&](const auto& entry) {
            return entry.second.accountName == name;
        });
        if (!taken) return name;
    }
}

bool ClientStore::write() const {
    json clients = json::object();
    for (const auto& [token, record] : clients_) {
        clients[token] = {{"accountName", record.accountName},
                          {"settings", settingsToJson(record.settings)}};
    }
    const json stored = {{"secret", secret_}, {"clients", clients}};
    return writeFileAtomically(file_, stored.dump(2) + "\n");
}
