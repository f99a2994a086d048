#include "integrity/secret_key_file.h"

#include <sodium.h>

#include <cstring>
#include <vector>

namespace {

// The decoded file: algorithms, the password's salt and cost, then the part that the password
// protects (key id, key, checksum).
constexpr std::size_t saltAt = 6, operationsAt = 38, memoryAt = 46, protectedAt = 54;
constexpr std::size_t protectedSize = 8 + 64 + 32, fileSize = protectedAt + protectedSize;

void putLittleEndian(unsigned char* at, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const unsigned char* at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

// BLAKE2b-256 of the algorithm, key id and key: tells a wrong password from a right one.
void checksumOf(const unsigned char* file, unsigned char* checksum) {
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    crypto_generichash_update(&state, file, 2);
    crypto_generichash_update(&state, file + protectedAt, 8 + 64);
    crypto_generichash_final(&state, checksum, 32);
}

// Applies (and undoes) the password's protection.
bool maskWithPassword(unsigned char* file, const std::string& password) {
    std::vector<unsigned char> stream(protectedSize);
    if (crypto_pwhash_scryptsalsa208sha256(
            stream.data(), stream.size(), password.data(), password.size(), file + saltAt,
            getLittleEndian(file + operationsAt),
            static_cast<std::size_t>(getLittleEndian(file + memoryAt))) != 0)
        return false;
    for (std::size_t i = 0; i < protectedSize; ++i) file[protectedAt + i] ^= stream[i];
    sodium_memzero(stream.data(), stream.size());
    return true;
}

std::optional<std::string> decodedKeyFile(std::string_view text) {
    const auto lines = text.find('\n');
    if (lines == std::string_view::npos || !text.starts_with("untrusted comment:"))
        return std::nullopt;
    std::string_view second = text.substr(lines + 1);
    second = second.substr(0, second.find('\n'));
    if (!second.empty() && second.back() == '\r') second.remove_suffix(1);
    auto bytes = fromBase64(second);
    if (!bytes || bytes->size() != fileSize || !bytes->starts_with("Ed")) return std::nullopt;
    return bytes;
}

}  // namespace

std::string writeSecretKey(const SecretKey& key, const std::optional<std::string>& password,
                           PasswordCost cost) {
    if (sodium_init() < 0) return {};
    unsigned char file[fileSize] = {};
    std::memcpy(file, "Ed", 2);
    std::memcpy(file + 4, "B2", 2);
    std::memcpy(file + protectedAt, key.id.data(), 8);
    std::memcpy(file + protectedAt + 8, key.key.data(), 64);
    if (password) {
        // minisign leaves the checksum of an unprotected key empty.
        checksumOf(file, file + protectedAt + 72);
        std::memcpy(file + 2, "Sc", 2);
        randombytes_buf(file + saltAt, 32);
        putLittleEndian(file + operationsAt, cost.operations);
        putLittleEndian(file + memoryAt, cost.memory);
        if (!maskWithPassword(file, *password)) return {};
    }
    std::string text = std::string("untrusted comment: ") +
                       (password ? "minisign encrypted secret key" : "minisign secret key") + "\n" +
                       toBase64(file, sizeof file) + "\n";
    sodium_memzero(file, sizeof file);
    return text;
}

bool secretKeyIsProtected(std::string_view text) {
    const auto bytes = decodedKeyFile(text);
    return bytes && bytes->compare(2, 2, "Sc") == 0;
}

std::optional<SecretKey> readSecretKey(std::string_view text, const std::string& password,
                                       std::string& error) {
    if (sodium_init() < 0) return std::nullopt;
    auto bytes = decodedKeyFile(text);
    if (!bytes) {
        error = "not a secret key file";
        return std::nullopt;
    }
    auto* file = reinterpret_cast<unsigned char*>(bytes->data());
    const bool protectedKey = bytes->compare(2, 2, "Sc") == 0;
    if (!protectedKey && bytes->compare(2, 2, std::string(2, '\0')) != 0) {
        error = "unknown key protection";
        return std::nullopt;
    }
    if (protectedKey && !maskWithPassword(file, password)) {
        error = "the password cannot be applied (not enough memory?)";
        return std::nullopt;
    }
    unsigned char checksum[32] = {};
    const bool unchecked = !protectedKey && sodium_is_zero(file + protectedAt + 72, 32);
    if (!unchecked) checksumOf(file, checksum);
    if (sodium_memcmp(checksum, file + protectedAt + 72, 32) != 0) {
        error = protectedKey ? "wrong password" : "damaged secret key file";
        sodium_memzero(file, fileSize);
        return std::nullopt;
    }
    SecretKey key;
    std::memcpy(key.id.data(), file + protectedAt, 8);
    std::memcpy(key.key.data(), file + protectedAt + 8, 64);
    sodium_memzero(file, fileSize);
    return key;
}
