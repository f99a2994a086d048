// The team's signatures on what the launcher takes from the server: a signature file beside
// each small file, the archive and the setup, and for an inc update one signed list of the
// strong hashes of its files.
#pragma once

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>

#include "integrity/signature.h"

class CheckReport;
class ServerFiles;

// Writes the strong-hash list beside the hashes.ini of an inc update's folder: every key of
// hashes.ini with the strong hash of its file there. Throws when a listed file is missing.
void writeStrongHashes(const std::filesystem::path& folder);

// Writes `file`.minisig, signed now.
void signBeside(const std::filesystem::path& file, const SecretKey& key);

// Signs every file of an update's folder that the launcher checks by signature.
void signUpdateFolder(const std::filesystem::path& folder, const SecretKey& key);

// `sign ROOT`: version.ini, the setup, and every update that version.ini names (the strong-hash
// list of an inc update made where it is missing). 0 when done, 1 when something is missing.
int signRoot(const std::string& root, const SecretKey& key, std::ostream& out, std::ostream& err);

// The secret key file; its password from ORV_PUBLISH_PASSWORD or asked on the terminal.
std::optional<SecretKey> loadSecretKey(const std::string& path, std::ostream& err);

// `keygen`: a new key pair; the secret key password-protected unless `unprotected`.
int makeKeyFiles(const std::string& secretPath, const std::string& publicPath, bool unprotected,
                 std::ostream& out, std::ostream& err);

// `check --public-key`: whether every file that the launcher checks carries a signature of
// `key` that holds, as a launcher built with it would find.
void checkSignatures(ServerFiles& server, const PublicKey& key, CheckReport& report);
