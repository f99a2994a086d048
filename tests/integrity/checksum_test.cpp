#include "integrity/checksum.h"

#include "integrity/crc_combine.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "core/log.h"
#include "tests/support/temp_dir.h"

namespace {

std::uint32_t zlibCrc(const std::string& data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = random();
        std::memcpy(data.data() + i, &word, std::min<std::size_t>(8, size - i));
    }
    return data;
}

TEST(ChecksumText, LowerCaseHexWithoutLeadingZeros) {
    EXPECT_EQ(formatChecksum(0), "0");
    EXPECT_EQ(formatChecksum(0x352441c2), "352441c2");
    EXPECT_EQ(formatChecksum(0x06b9df6f), "6b9df6f");
    EXPECT_EQ(formatChecksum(0xcbf43926), "cbf43926");
    EXPECT_EQ(formatChecksum(0x10), "10");
    EXPECT_EQ(formatChecksum(0xffffffff), "ffffffff");
}

TEST(HashFile, KnownContents) {
    TempDir dir;
    useUserFolder(dir);
    const std::pair<std::string, std::string> cases[] = {
        {"", "0"}, {"abc", "352441c2"}, {"c", "6b9df6f"}, {"123456789", "cbf43926"}};
    for (const auto& [content, expected] : cases) {
        writeFile(dir.file("f"), content);
        EXPECT_EQ(formatChecksum(hashFile(dir.file("f"))), expected) << '"' << content << '"';
    }
    EXPECT_TRUE(logMessages().empty()) << "an empty file is no error";
}

// Sizes around the 1 MiB block: the last partial block must be included, a full last block
// must not be followed by a stray one.
TEST(HashFile, BlockBoundariesMatchOneShotCrc) {
    TempDir dir;
    useUserFolder(dir);
    constexpr std::size_t mebibyte = 1 << 20;
    for (std::size_t size : {mebibyte - 1, mebibyte, mebibyte + 1, 3 * mebibyte + 17}) {
        const std::string data = randomBytes(size, static_cast<unsigned>(size));
        writeFile(dir.file("big"), data);
        EXPECT_EQ(hashFile(dir.file("big")), zlibCrc(data)) << size << " bytes";
    }
}

TEST(CrcCombine, JoinsThePiecesOfAnyLength) {
    const std::string data = randomBytes(3 * 4096 + 5, 9);
    for (std::size_t split : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{4096},
                              data.size() - 1, data.size()}) {
        const std::string a = data.substr(0, split);
        const std::string b = data.substr(split);
        EXPECT_EQ(crc32Combine(zlibCrc(a), zlibCrc(b), b.size()), zlibCrc(data)) << split;
    }
    const std::string zeros(std::size_t{5} << 20, '\0');
    EXPECT_EQ(crc32Combine(zlibCrc(data), zlibCrc(zeros), zeros.size()), zlibCrc(data + zeros));
}

// Big files are hashed in parts on several threads (where there are several processors); the
// parts meet at block boundaries, and the last one ends at an odd size.
TEST(HashFile, BigFileMatchesOneShotCrc) {
    TempDir dir;
    useUserFolder(dir);
    const std::string data = randomBytes((std::size_t{96} << 20) + 12345, 3);
    writeFile(dir.file("archive.zip"), data);
    EXPECT_EQ(formatChecksum(hashFile(dir.file("archive.zip"))), formatChecksum(zlibCrc(data)));
    EXPECT_TRUE(logMessages().empty());
}

TEST(HashFile, MissingFileGivesZeroAndALogLine) {
    TempDir dir;
    useUserFolder(dir);
    const std::string path = dir.file("absent.bin");
    EXPECT_EQ(hashFile(path), 0u);
    EXPECT_EQ(logMessages(), std::vector<std::string>{"Error hashing file:" + path});
}

}  // namespace
