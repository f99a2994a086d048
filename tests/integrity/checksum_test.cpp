#include "integrity/checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <random>

#include "integrity/secret_key_file.h"
#include "integrity/signature.h"

#include "tests/support/temp_dir.h"

namespace {

std::uint32_t zlibCrc(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& byte : data) byte = static_cast<char>(random());
    return data;
}

class Integrity : public testing::Test {
protected:
    TempDir dir;
    void SetUp() override { useUserFolder(dir); }
};

// Sizes around the 1 MiB block: the last partial block must be included, a full last block must
// not be followed by a stray one. Files from 64 MiB are hashed in parts on several threads (where
// there are several processors): the parts meet at block boundaries, the last ends at an odd size.
TEST_F(Integrity, HashFileGivesKnownChecksumsAtBlockBoundariesBigFilesAndAMissingFile) {
    const std::pair<std::string, std::string> known[] = {
        {"", "0"}, {"c", "6b9df6f"}, {"123456789", "cbf43926"}};
    for (const auto& [content, expected] : known) {
        writeFile(dir.file("f"), content);
        EXPECT_EQ(formatChecksum(hashFile(dir.file("f"))), expected) << '"' << content << '"';
    }
    constexpr std::size_t mib = 1 << 20;
    for (std::size_t size : {mib - 1, mib, mib + 1, 96 * mib + 12345}) {
        const std::string data = randomBytes(size, static_cast<unsigned>(size));
        writeFile(dir.file("f"), data);
        EXPECT_EQ(hashFile(dir.file("f")), zlibCrc(data)) << size;
    }
    EXPECT_TRUE(logMessages().empty()) << "an empty file is no error";
    const std::string absent = dir.file("absent.bin");
    EXPECT_EQ(hashFile(absent), 0u);
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Error hashing file:" + absent});
}

// Data checked as it arrives, in pieces of any size, empty ones included (libdeflate answers an
// empty piece without a buffer with its initial value, which would restart the sum). Joining the
// checksums of parts is checked through the 96 MiB file above, which is hashed in parts.
TEST(Checksum, PiecesContinueToTheChecksumOfTheWhole) {
    const std::string data = randomBytes(70000, 5);
    std::uint32_t crc = 0;
    for (std::size_t at = 0, piece = 0; at < data.size();
         at += piece, piece = (piece * 7 + 3) % 5000) {
        piece = std::min(piece, data.size() - at);
        crc = continueChecksum(continueChecksum(crc, nullptr, 0), data.data() + at, piece);
    }
    EXPECT_EQ(crc, zlibCrc(data));
}

// What a player's launcher accepts: the key's signature over exactly these bytes and this trusted
// comment. Pieces through StreamCheck must decide as the whole message does.
TEST(Signature, AcceptsOnlyTheKeysSignatureOverTheSameBytesAndComment) {
    const SecretKey key = makeSecretKey();
    const auto pub = readPublicKey(writePublicKey(publicKeyOf(key)));
    ASSERT_TRUE(pub);
    const std::string message = randomBytes(70000, 9);
    const std::string good = signMessage(key, message, defaultTrustedComment(1700000000, "v.ini"));
    std::string otherComment = good;
    otherComment.replace(otherComment.find("1700000000"), 10, "1800000000");
    std::string changed = message;
    changed[12345] ^= 1;
    const struct {
        const char* what;
        const std::string& message;
        std::string signature;
        std::string refusal;
    } rows[] = {
        {"good", message, good, ""},
        {"no signature", message, "", "not a signature file"},
        {"another key", message, signMessage(makeSecretKey(), message, "x"), "signed by another"},
        {"file changed", changed, good, "the file does not match its signature"},
        {"comment changed", message, otherComment, "the trusted comment does not match"},
    };
    for (const auto& row : rows) {
        const SignatureCheck check = checkSignature(*pub, row.message, row.signature);
        EXPECT_EQ(check.refusal.substr(0, row.refusal.size()), row.refusal) << row.what;
        EXPECT_EQ(static_cast<bool>(check), row.refusal.empty()) << row.what;
        StreamCheck stream(*pub, row.signature);
        stream.add("junk", 4);
        stream.restart();
        for (std::size_t at = 0; at < row.message.size(); at += 4096)
            stream.add(row.message.data() + at,
                       std::min<std::size_t>(4096, row.message.size() - at));
        EXPECT_EQ(stream.finish().refusal, check.refusal) << row.what;
    }
    EXPECT_EQ(signingTime(checkSignature(*pub, message, good).trustedComment), 1700000000u);
    EXPECT_FALSE(signingTime("file:v.ini"));
}

TEST(Signature, SecretKeyFileOpensOnlyWithItsPassword) {
    const SecretKey key = makeSecretKey();
    const PasswordCost cheap{524288, 16777216};
    const std::string locked = writeSecretKey(key, std::string("right"), cheap);
    const std::string open = writeSecretKey(key, std::nullopt);
    EXPECT_TRUE(secretKeyIsProtected(locked));
    EXPECT_FALSE(secretKeyIsProtected(open));
    std::string error;
    const auto unlocked = readSecretKey(locked, "right", error);
    ASSERT_TRUE(unlocked) << error;
    EXPECT_EQ(unlocked->key, key.key);
    EXPECT_EQ(unlocked->id, key.id);
    EXPECT_FALSE(readSecretKey(locked, "wrong", error));
    EXPECT_EQ(error, "wrong password");
    const auto plain = readSecretKey(open, "", error);
    ASSERT_TRUE(plain) << error;
    EXPECT_EQ(plain->key, key.key);
}

#ifndef _WIN32
// The team may sign with the minisign tool and check with ours, or the other way round; the
// strong hash is BLAKE2b-256 as b2sum computes it.
TEST_F(Integrity, MinisignToolAndOursAcceptEachOthersSignatures) {
    const std::string pub = dir.file("key.pub"), sec = dir.file("key.sec"), file = dir.file("f");
    writeFile(file, randomBytes(100000, 3));
    auto run = [](const std::string& command) {
        return std::system((command + " >/dev/null 2>&1").c_str());
    };
    ASSERT_EQ(run("minisign -G -W -p " + pub + " -s " + sec), 0) << "the minisign tool is needed";
    const auto key = readPublicKey(readFile(pub));
    ASSERT_TRUE(key);
    for (const char* legacy : {"", " -l"}) {
        ASSERT_EQ(
            run("minisign -S" + std::string(legacy) + " -s " + sec + " -m " + file + " -t tc"), 0);
        const SignatureCheck check =
            checkSignature(*key, readFile(file), readFile(file + ".minisig"));
        EXPECT_TRUE(check) << legacy << check.refusal;
        EXPECT_EQ(check.trustedComment, "tc");
    }
    std::string error;
    const auto secret = readSecretKey(readFile(sec), "", error);
    ASSERT_TRUE(secret) << error;
    writeFile(file + ".minisig",
              signMessage(*secret, readFile(file), defaultTrustedComment(1, "f")));
    EXPECT_EQ(run("minisign -V -p " + pub + " -m " + file), 0);
    writeFile(file, "changed");
    EXPECT_NE(run("minisign -V -p " + pub + " -m " + file), 0);
    ASSERT_EQ(std::system(("b2sum -l 256 " + file + " > " + file + ".b2").c_str()), 0);
    EXPECT_EQ(readFile(file + ".b2").substr(0, 64), strongHashOfFile(file));
}
#endif

}  // namespace
