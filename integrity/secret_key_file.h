// The secret key file as minisign writes it: protected by a password through scrypt, or, asked
// for explicitly, stored as it is. Only the publishing side reads it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "integrity/signature.h"

// The cost of deriving the key from a password; minisign's own by default.
struct PasswordCost {
    std::uint64_t operations = 33554432;
    std::uint64_t memory = 1073741824;
};

// Without a password the key is stored unprotected.
std::string writeSecretKey(const SecretKey& key, const std::optional<std::string>& password,
                           PasswordCost cost = {});

bool secretKeyIsProtected(std::string_view text);

// The key, or why it could not be read (a wrong password among others) in `error`.
std::optional<SecretKey> readSecretKey(std::string_view text, const std::string& password,
                                       std::string& error);
