#include "integrity/checksum.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include "integrity/exclusions.h"
#include "integrity/thread_pool.h"
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
        EXPECT_EQ(contentChecksum(content), expected);
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

// Listed names anywhere in the path, in their exact case; server manifests may use "/" anywhere.
TEST(Exclusions, ListedNamesAnywhereInThePathInTheirExactCase) {
    const auto local = [](std::string path) {
        std::replace(path.begin(), path.end(), '/', platform::pathSeparator);
        return "." + std::string(1, platform::pathSeparator) + path;
    };
    for (std::string name : {"hashes.ini", "ORV.zip", "Launcher.exe.WebView2", ".svn", "Release"}) {
        EXPECT_TRUE(isExcluded(local(name))) << name;
        EXPECT_TRUE(isExcluded(local("tools/" + name + "/sub/x.dat"))) << name;
    }
    // What a download or an extraction leaves before it is complete is not part of the game.
    EXPECT_TRUE(isExcluded(local("EXE/Astrovance.exe.orv-partial")));
    EXPECT_TRUE(isExcluded("Data/Release/x.bin"));
    for (const char* kept :
         {"Hashes.ini", "release/game.dat", "ReleaseNotes.txt", "x.orv-partial.txt", "x.svn"})
        EXPECT_FALSE(isExcluded(local(kept))) << kept;
}

// Zero workers are raised to one; no job runs on the caller. A job's escaping exception is logged
// and its worker goes on with the rest.
TEST_F(Integrity, ThreadPoolRunsEveryQueuedJobOnItsWorkers) {
    const auto caller = std::this_thread::get_id();
    for (unsigned workers : {0u, 4u}) {
        std::atomic<int> done{0}, onCaller{0};
        {
            ThreadPool pool(workers);
            pool.enqueue([] { throw std::runtime_error("disk gone"); });
            pool.enqueue([] { throw 42; });
            for (int i = 0; i < 5000; ++i) {
                pool.enqueue([&] {
                    onCaller += std::this_thread::get_id() == caller;
                    ++done;
                });
            }
        }
        EXPECT_EQ(done.load(), 5000) << workers;
        EXPECT_EQ(onCaller.load(), 0) << workers;
    }
    auto messages = logMessages();
    std::sort(messages.begin(), messages.end());
    const std::string failed = "Worker job failed", gone = failed + ": disk gone";
    EXPECT_EQ(messages, (std::vector<std::string>{failed, failed, gone, gone}));
}

}  // namespace
