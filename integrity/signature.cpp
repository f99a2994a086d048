#include "integrity/signature.h"

#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "core/text.h"

namespace {

static_assert(sizeof(crypto_generichash_state) <= 384 && alignof(crypto_generichash_state) <= 64);

const std::string_view untrustedPrefix = "untrusted comment: ";
const std::string_view trustedPrefix = "trusted comment: ";
// Signature algorithms: Ed25519 over the message, and over its BLAKE2b-512 hash.
constexpr unsigned char legacyAlgorithm[2] = {'E', 'd'};
constexpr unsigned char hashedAlgorithm[2] = {'E', 'D'};

void initSodium() {
    // sodium_init is safe to call again and from several threads.
    if (sodium_init() < 0) std::abort();
}

crypto_generichash_state* stateOf(std::array<unsigned char, 384>& state) {
    return reinterpret_cast<crypto_generichash_state*>(state.data());
}

// The lines of a key or signature file, without line ends.
std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

struct SignatureFile {
    unsigned char algorithm[2];
    KeyId id;
    std::array<unsigned char, 64> signature;
    std::string trustedComment;
    std::array<unsigned char, 64> globalSignature;
};

std::optional<SignatureFile> readSignatureFile(std::string_view text) {
    const auto lines = linesOf(text);
    if (lines.size() < 4 || !lines[0].starts_with(untrustedPrefix) ||
        !lines[2].starts_with(trustedPrefix))
        return std::nullopt;
    const auto first = fromBase64(lines[1]);
    const auto global = fromBase64(lines[3]);
    if (!first || first->size() != 74 || !global || global->size() != 64) return std::nullopt;
    SignatureFile file;
    std::memcpy(file.algorithm, first->data(), 2);
    std::memcpy(file.id.data(), first->data() + 2, 8);
    std::memcpy(file.signature.data(), first->data() + 10, 64);
    file.trustedComment = std::string(lines[2].substr(trustedPrefix.size()));
    std::memcpy(file.globalSignature.data(), global->data(), 64);
    return file;
}

// Everything but the message's own signature: the file's form, the key, the trusted comment.
std::string refusalBeforeMessage(const PublicKey& key, const std::optional<SignatureFile>& file) {
    if (!file) return "not a signature file";
    if (file->id != key.id) return "signed by another key (" + keyIdText(file->id) + ")";
    std::string signedComment(reinterpret_cast<const char*>(file->signature.data()), 64);
    signedComment += file->trustedComment;
    if (crypto_sign_verify_detached(file->globalSignature.data(),
                                    reinterpret_cast<const unsigned char*>(signedComment.data()),
                                    signedComment.size(), key.key.data()) != 0)
        return "the trusted comment does not match its signature";
    return {};
}

SignatureCheck checkSigned(const PublicKey& key, const std::optional<SignatureFile>& file,
                           const unsigned char* message, std::size_t size) {
    SignatureCheck check;
    check.refusal = refusalBeforeMessage(key, file);
    if (!check) return check;
    if (crypto_sign_verify_detached(file->signature.data(), message, size, key.key.data()) != 0)
        check.refusal = "the file does not match its signature";
    else
        check.trustedComment = file->trustedComment;
    return check;
}

}  // namespace

std::string toBase64(const unsigned char* data, std::size_t size) {
    initSodium();
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::optional<std::string> fromBase64(std::string_view text) {
    initSodium();
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    std::size_t size = 0;
    const char* end = nullptr;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                          text.size(), nullptr, &size, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size())
        return std::nullopt;
    bytes.resize(size);
    return bytes;
}

std::string keyIdText(const KeyId& id) {
    // minisign prints the id as a little-endian number.
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
        text += hex[*byte >> 4];
        text += hex[*byte & 0x0F];
    }
    return text;
}

std::optional<PublicKey> readPublicKey(std::string_view text) {
    const auto lines = linesOf(text);
    std::string_view line;
    for (const std::string_view candidate : lines) {
        if (candidate.empty() || candidate.starts_with(untrustedPrefix)) continue;
        if (!line.empty()) return std::nullopt;
        line = candidate;
    }
    const auto bytes = fromBase64(line);
    if (!bytes || bytes->size() != 42 || std::memcmp(bytes->data(), legacyAlgorithm, 2) != 0)
        return std::nullopt;
    PublicKey key;
    std::memcpy(key.id.data(), bytes->data() + 2, 8);
    std::memcpy(key.key.data(), bytes->data() + 10, 32);
    return key;
}

std::string writePublicKey(const PublicKey& key) {
    unsigned char bytes[42];
    std::memcpy(bytes, legacyAlgorithm, 2);
    std::memcpy(bytes + 2, key.id.data(), 8);
    std::memcpy(bytes + 10, key.key.data(), 32);
    return std::string(untrustedPrefix) + "minisign public key " + keyIdText(key.id) + "\n" +
           toBase64(bytes, sizeof bytes) + "\n";
}

PublicKey publicKeyOf(const SecretKey& key) {
    PublicKey pub;
    pub.id = key.id;
    std::memcpy(pub.key.data(), key.key.data() + 32, 32);
    return pub;
}

SecretKey makeSecretKey() {
    initSodium();
    SecretKey key;
    std::array<unsigned char, 32> pub;
    crypto_sign_keypair(pub.data(), key.key.data());
    randombytes_buf(key.id.data(), key.id.size());
    return key;
}

MessageHash::MessageHash() {
    restart();
}

void MessageHash::restart() {
    initSodium();
    crypto_generichash_init(stateOf(state_), nullptr, 0, crypto_generichash_BYTES_MAX);
}

void MessageHash::add(const void* data, std::size_t size) {
    crypto_generichash_update(stateOf(state_), static_cast<const unsigned char*>(data), size);
}

std::array<unsigned char, 64> MessageHash::finish() const {
    auto copy = state_;  // finishing consumes the state; the hash may go on
    std::array<unsigned char, 64> hash;
    crypto_generichash_final(stateOf(copy), hash.data(), hash.size());
    return hash;
}

std::string signHashed(const SecretKey& key, const std::array<unsigned char, 64>& hash,
                       const std::string& trustedComment) {
    initSodium();
    unsigned char first[74];
    std::memcpy(first, hashedAlgorithm, 2);
    std::memcpy(first + 2, key.id.data(), 8);
    crypto_sign_detached(first + 10, nullptr, hash.data(), hash.size(), key.key.data());
    std::string signedComment(reinterpret_cast<const char*>(first + 10), 64);
    signedComment += trustedComment;
    unsigned char global[64];
    crypto_sign_detached(global, nullptr,
                         reinterpret_cast<const unsigned char*>(signedComment.data()),
                         signedComment.size(), key.key.data());
    return std::string(untrustedPrefix) + "signature from orv-publish secret key\n" +
           toBase64(first, sizeof first) + "\n" + std::string(trustedPrefix) + trustedComment +
           "\n" + toBase64(global, sizeof global) + "\n";
}

std::string signMessage(const SecretKey& key, std::string_view message,
                        const std::string& trustedComment) {
    MessageHash hash;
    hash.add(message.data(), message.size());
    return signHashed(key, hash.finish(), trustedComment);
}

std::string defaultTrustedComment(std::uint64_t unixTime, const std::string& fileName) {
    return "timestamp:" + std::to_string(unixTime) + "\tfile:" + fileName + "\thashed";
}

SignatureCheck checkSignature(const PublicKey& key, std::string_view message,
                              std::string_view signatureFile) {
    initSodium();
    const auto file = readSignatureFile(signatureFile);
    const auto* bytes = reinterpret_cast<const unsigned char*>(message.data());
    if (file && std::memcmp(file->algorithm, legacyAlgorithm, 2) == 0)
        return checkSigned(key, file, bytes, message.size());
    if (file && std::memcmp(file->algorithm, hashedAlgorithm, 2) != 0)
        return {"unknown signature algorithm", {}};
    MessageHash hash;
    hash.add(message.data(), message.size());
    const auto digest = hash.finish();
    return checkSigned(key, file, digest.data(), digest.size());
}

StreamCheck::StreamCheck(const PublicKey& key, std::string_view signatureFile)
    : key_(key), signatureFile_(signatureFile) {}

SignatureCheck StreamCheck::finish() const {
    const auto file = readSignatureFile(signatureFile_);
    if (file && std::memcmp(file->algorithm, hashedAlgorithm, 2) != 0)
        return {"only hashed signatures are accepted for a download", {}};
    const auto digest = hash_.finish();
    return checkSigned(key_, file, digest.data(), digest.size());
}

std::optional<std::uint64_t> signingTime(std::string_view trustedComment) {
    const std::string_view label = "timestamp:";
    const auto at = trustedComment.find(label);
    if (at == std::string_view::npos) return std::nullopt;
    std::uint64_t time = 0;
    std::size_t digits = 0;
    for (auto c = at + label.size(); c < trustedComment.size() && trustedComment[c] >= '0' &&
                                     trustedComment[c] <= '9' && digits < 19;
         ++c, ++digits)
        time = time * 10 + static_cast<std::uint64_t>(trustedComment[c] - '0');
    if (digits == 0) return std::nullopt;
    return time;
}

StrongHash::StrongHash() {
    restart();
}

void StrongHash::restart() {
    initSodium();
    crypto_generichash_init(stateOf(state_), nullptr, 0, 32);
}

void StrongHash::add(const void* data, std::size_t size) {
    crypto_generichash_update(stateOf(state_), static_cast<const unsigned char*>(data), size);
}

std::string StrongHash::finish() const {
    auto copy = state_;
    unsigned char hash[32];
    crypto_generichash_final(stateOf(copy), hash, sizeof hash);
    char text[65];
    sodium_bin2hex(text, sizeof text, hash, sizeof hash);
    return text;
}

namespace {

template <class Hash>
bool hashWholeFile(const std::string& path, Hash& hash) {
    std::ifstream in(toPath(path), std::ios::binary);
    if (!in) return false;
    const auto buffer = std::make_unique<char[]>(1 << 20);
    while (in) {
        in.read(buffer.get(), 1 << 20);
        hash.add(buffer.get(), static_cast<std::size_t>(in.gcount()));
    }
    return in.eof();
}

}  // namespace

std::optional<std::string> strongHashOfFile(const std::string& path) {
    StrongHash hash;
    if (!hashWholeFile(path, hash)) return std::nullopt;
    return hash.finish();
}

bool hashFileForSignature(const std::string& path, MessageHash& hash) {
    return hashWholeFile(path, hash);
}
