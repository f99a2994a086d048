// Ed25519 signatures in the key and signature files of the minisign tool, so that the team can
// sign with either that tool or orv-publish and check with the other; and the strong hash of a
// file, which a signed list vouches for where one signature per file would be too many.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using KeyId = std::array<unsigned char, 8>;

struct PublicKey {
    KeyId id{};
    std::array<unsigned char, 32> key{};
};

struct SecretKey {
    KeyId id{};
    std::array<unsigned char, 64> key{};  // libsodium's form: the seed, then the public key
};

// A public key file, or its second line alone; nothing when the text is neither.
std::optional<PublicKey> readPublicKey(std::string_view text);
std::string writePublicKey(const PublicKey& key);
// The key id as minisign prints it.
std::string keyIdText(const KeyId& id);

PublicKey publicKeyOf(const SecretKey& key);
SecretKey makeSecretKey();

// BLAKE2b-512 of a message given in pieces: what a signature covers.
class MessageHash {
public:
    MessageHash();
    void restart();
    void add(const void* data, std::size_t size);
    std::array<unsigned char, 64> finish() const;

private:
    alignas(64) std::array<unsigned char, 384> state_;
};

// A signature file of the message whose hash is `hash`; the trusted comment is signed as well.
std::string signHashed(const SecretKey& key, const std::array<unsigned char, 64>& hash,
                       const std::string& trustedComment);
std::string signMessage(const SecretKey& key, std::string_view message,
                        const std::string& trustedComment);
// The trusted comment that minisign writes: when and what was signed.
std::string defaultTrustedComment(std::uint64_t unixTime, const std::string& fileName);

// The outcome of checking a signature file: `refusal` is empty when the signature holds.
struct SignatureCheck {
    std::string refusal;
    std::string trustedComment;
    explicit operator bool() const { return refusal.empty(); }
};

// Checks a message held in memory; both minisign's hashed signatures and its legacy ones.
SignatureCheck checkSignature(const PublicKey& key, std::string_view message,
                              std::string_view signatureFile);

// Checks a message that arrives in pieces (a download), against hashed signatures only: a legacy
// one would need the whole message at once.
class StreamCheck {
public:
    StreamCheck(const PublicKey& key, std::string_view signatureFile);
    void restart() { hash_.restart(); }
    void add(const void* data, std::size_t size) { hash_.add(data, size); }
    SignatureCheck finish() const;

private:
    PublicKey key_;
    std::string signatureFile_;
    MessageHash hash_;
};

// "timestamp:<seconds>" of a trusted comment; nothing when it carries none.
std::optional<std::uint64_t> signingTime(std::string_view trustedComment);

// BLAKE2b-256 as lower-case hexadecimal: the strong hash of one file.
class StrongHash {
public:
    StrongHash();
    void restart();
    void add(const void* data, std::size_t size);
    std::string finish() const;

private:
    alignas(64) std::array<unsigned char, 384> state_;
};

// The strong hash of a file's bytes; nothing when it cannot be read.
std::optional<std::string> strongHashOfFile(const std::string& path);
// A file's bytes through a MessageHash; false when it cannot be read.
bool hashFileForSignature(const std::string& path, MessageHash& hash);

// Base64 as minisign writes it; decoding gives nothing for anything else.
std::string toBase64(const unsigned char* data, std::size_t size);
std::optional<std::string> fromBase64(std::string_view text);
