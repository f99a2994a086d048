// Updates signed by the mod team. A launcher built with the team's public key takes nothing from
// the download server that the key's signature does not cover: a file whose signature fails is
// treated as a file that did not arrive, after the log line "Signature refused for <url>:
// <reason>". Built without a key, none of this changes anything.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "net/download.h"
#include "net/fetch.h"

// ORV_UPDATE_PUBLIC_KEY of the build, in a file of its own so that a test build can link another.
extern const char* const builtInUpdateKey;

// True when the launcher was built with a key (or a test gave one).
bool signaturesRequired();

// Tests only: the public key text to check with, or the empty text for none.
void overrideUpdatePublicKey(const std::string& keyText);

// Where a file's signature lies on the server.
std::string signatureUrl(const std::string& url);

struct SignedDocument : FetchedDocument {
    bool refused = false;  // it came, but its signature did not hold: the body is dropped
};

// fetchDocument, and with a key the signature beside the document.
SignedDocument fetchSignedDocument(
    const std::string& url, std::chrono::milliseconds deadline = std::chrono::milliseconds::zero());

// The version file, as above; with a key, one signed before the newest one this installation
// has accepted is refused too, so that a server cannot hold players at an old release.
SignedDocument fetchVersionFile(
    const std::string& serverUrl,
    std::chrono::milliseconds deadline = std::chrono::milliseconds::zero());

// The check for a download of `url` against its signature; nothing without a key. A signature
// that cannot be fetched gives a check that refuses.
std::unique_ptr<ContentCheck> signatureCheckFor(const std::string& url);

// The strong hashes of an inc update: the signed list beside its manifest. Without a key it is
// not fetched, and `fetched` stays true.
struct StrongHashes {
    bool fetched = true;
    std::map<std::string, std::string> hashes;
};
StrongHashes fetchStrongHashes(const std::string& folder);
extern const char* const strongHashesName;

// True when the file at `path` has the checksum text `expected` and, with `check`, passes it;
// the file is read once for both.
bool localFileMatches(const std::string& path, const std::string& expected, ContentCheck* check);

// The check for one file of an inc update against its strong hash; nothing without a key. A
// key that the list does not hold is refused here, before any transfer (and nothing is returned
// in `check`: false then).
bool strongHashCheckFor(const StrongHashes& list, const std::string& key, const std::string& url,
                        std::unique_ptr<ContentCheck>& check);
