#pragma once

#include <string>

// `bytes` random bytes from the system's secure generator, as lower-case hexadecimal.
std::string randomHex(size_t bytes);

// The signature of a multiplayer account name: HMAC-SHA256 of the name under the service's
// secret, in lower-case hexadecimal. Only the service can issue a name with a valid signature.
std::string signAccountName(const std::string& secret, const std::string& name);
