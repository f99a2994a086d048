#include "patch/update_signatures.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "core/ini_document.h"
#include "core/log.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "integrity/signature.h"

const char* const strongHashesName = "blake2b.ini";

namespace {

struct UpdateKey {
    bool required = false;
    std::optional<PublicKey> key;  // nothing while required: a key that cannot be read
};

UpdateKey keyFromText(const std::string& text) {
    if (text.empty()) return {};
    return {true, readPublicKey(text)};
}

UpdateKey& updateKey() {
    static UpdateKey key = keyFromText(builtInUpdateKey);
    return key;
}

void logRefusal(const std::string& url, const std::string& reason) {
    logLine("Signature refused for " + url + ": " + reason);
}

// Why the key and the signature do not vouch for `body`; empty when they do.
SignatureCheck checkDocument(const std::string& url, const std::string& body,
                             std::chrono::milliseconds deadline) {
    const UpdateKey& key = updateKey();
    if (!key.key) return {"the launcher's key cannot be read", {}};
    const FetchedDocument signature = fetchDocument(signatureUrl(url), deadline);
    if (!signature.body) return {"no signature", {}};
    return checkSignature(*key.key, body, *signature.body);
}

class SignatureDownloadCheck : public ContentCheck {
public:
    SignatureDownloadCheck(std::string url, const PublicKey& key, std::string signature)
        : url_(std::move(url)), check_(key, signature) {}
    void restart() override { check_.restart(); }
    void add(const void* data, std::size_t size) override { check_.add(data, size); }
    bool accepted() override {
        const SignatureCheck result = check_.finish();
        if (!result) logRefusal(url_, result.refusal);
        return static_cast<bool>(result);
    }

private:
    std::string url_;
    StreamCheck check_;
};

// A signature that could not be had: whatever arrives is refused.
class Refusal : public ContentCheck {
public:
    Refusal(std::string url, std::string reason)
        : url_(std::move(url)), reason_(std::move(reason)) {}
    void restart() override {}
    void add(const void*, std::size_t) override {}
    bool accepted() override {
        logRefusal(url_, reason_);
        return false;
    }

private:
    std::string url_, reason_;
};

class StrongHashCheck : public ContentCheck {
public:
    StrongHashCheck(std::string url, std::string expected)
        : url_(std::move(url)), expected_(std::move(expected)) {}
    void restart() override { hash_.restart(); }
    void add(const void* data, std::size_t size) override { hash_.add(data, size); }
    bool accepted() override {
        if (hash_.finish() == expected_) return true;
        logRefusal(url_, "the file does not match its signed hash");
        return false;
    }

private:
    std::string url_, expected_;
    StrongHash hash_;
};

// The newest signing time of a version file that this installation accepted.
const std::string timeSection = "CLIENT";
const std::string timeKey = "VersionFileSigned";
std::mutex timeLock;

}  // namespace

bool signaturesRequired() {
    return updateKey().required;
}

void overrideUpdatePublicKey(const std::string& keyText) {
    updateKey() = keyFromText(keyText);
}

std::string signatureUrl(const std::string& url) {
    return url + ".minisig";
}

SignedDocument fetchSignedDocument(const std::string& url, std::chrono::milliseconds deadline) {
    SignedDocument document;
    static_cast<FetchedDocument&>(document) = fetchDocument(url, deadline);
    if (!signaturesRequired() || !document.body) return document;
    const SignatureCheck check = checkDocument(url, *document.body, deadline);
    if (!check) {
        logRefusal(url, check.refusal);
        document.body.reset();
        document.status = 0;
        document.refused = true;
    }
    return document;
}

SignedDocument fetchVersionFile(const std::string& serverUrl, std::chrono::milliseconds deadline) {
    const std::string url = serverUrl + "/version.ini";
    SignedDocument document;
    static_cast<FetchedDocument&>(document) = fetchDocument(url, deadline);
    if (!signaturesRequired() || !document.body) return document;
    const SignatureCheck check = checkDocument(url, *document.body, deadline);
    std::string refusal = check.refusal;
    if (check) {
        const std::lock_guard lock(timeLock);
        const std::string settings = clientSettingsPath.get();
        const auto signedAt = signingTime(check.trustedComment);
        const std::string stored = IniDocument::getValue(settings, timeSection, timeKey);
        const std::uint64_t accepted = std::strtoull(stored.c_str(), nullptr, 10);
        if (!signedAt) {
            refusal = "its trusted comment carries no signing time";
        } else if (*signedAt < accepted) {
            refusal = "signed at " + std::to_string(*signedAt) +
                      ", before the version file accepted last (" + stored + ")";
        } else if (*signedAt > accepted) {
            IniDocument::setValue(settings, timeSection, timeKey, std::to_string(*signedAt));
        }
    }
    if (!refusal.empty()) {
        logRefusal(url, refusal);
        document.body.reset();
        document.status = 0;
        document.refused = true;
    }
    return document;
}

std::unique_ptr<ContentCheck> signatureCheckFor(const std::string& url) {
    if (!signaturesRequired()) return nullptr;
    const UpdateKey& key = updateKey();
    if (!key.key) return std::make_unique<Refusal>(url, "the launcher's key cannot be read");
    const FetchedDocument signature = fetchDocument(signatureUrl(url));
    if (!signature.body) return std::make_unique<Refusal>(url, "no signature");
    return std::make_unique<SignatureDownloadCheck>(url, *key.key, *signature.body);
}

bool localFileMatches(const std::string& path, const std::string& expected, ContentCheck* check) {
    if (!check) return formatChecksum(hashFile(path)) == expected;
    check->restart();
    std::ifstream in(toPath(path), std::ios::binary);
    if (!in) return false;
    std::vector<char> buffer(1 << 20);
    std::uint32_t crc = 0;
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        crc = continueChecksum(crc, buffer.data(), got);
        check->add(buffer.data(), got);
    }
    return in.eof() && formatChecksum(crc) == expected && check->accepted();
}

StrongHashes fetchStrongHashes(const std::string& folder) {
    StrongHashes list;
    if (!signaturesRequired()) return list;
    const SignedDocument document = fetchSignedDocument(folder + "/" + strongHashesName);
    list.fetched = document.body.has_value();
    if (list.fetched) list.hashes = IniDocument::parsePairs(*document.body);
    return list;
}

bool strongHashCheckFor(const StrongHashes& list, const std::string& key, const std::string& url,
                        std::unique_ptr<ContentCheck>& check) {
    if (!signaturesRequired()) return true;
    const auto found = list.hashes.find(key);
    if (found == list.hashes.end()) {
        logRefusal(url, list.fetched ? "not in the signed list of hashes"
                                     : "the signed list of hashes did not arrive");
        return false;
    }
    check = std::make_unique<StrongHashCheck>(url, found->second);
    return true;
}
