#include "integrity/checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

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

}  // namespace
