#include "net/download.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/patch_progress.h"
#include "net/retry_pause.h"
#include "net/stall_limit.h"
#include "platform/platform.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string failed = "Failed to download file. CURL error: ";
const std::string saved = "Download complete and file saved.";
const std::string mismatch = "Local file hash mismatch. Deleting file to download fresh copy.";
const std::string content = "fresh content of the file\n";
const std::string big(50000, 'x');  // with a checksum of its own
const std::string contentSum = "eddfe2f4", bigSum = "b5ee1fda";

HttpAnswer ignoringRange(HttpAnswer made) {
    made.ignoresRange = true;
    return made;
}
HttpAnswer withHeader(HttpAnswer made, std::string name, std::string value) {
    made.headers.emplace_back(std::move(name), std::move(value));
    return made;
}

// One row: what the server answers for "/file", the local copy (and what an earlier launcher left
// of its replacement) before the call, what must be on disk afterwards, the log that follows the
// "Patched: <local path>" line, and the Range headers the server saw.
struct DownloadCase {
    const char* name;
    std::vector<std::pair<std::string, std::vector<HttpAnswer>>> scripts;
    std::optional<std::string> localBefore;
    std::string expectedChecksum;
    std::string localAfter;
    std::vector<std::string> log;
    std::vector<std::string> ranges;  // of "/file", one per request
    int stallSeconds = defaultStallSeconds;
    std::optional<std::string> stagedBefore = std::nullopt;
    int outageMs = 0;      // "/file" answers 503 this long after the first request
    int retryUnitMs = 1;   // the pause between attempts grows from this
};

const DownloadCase downloadCases[] = {
    {"freshFile", {{"/file", {answer(200, content)}}}, std::nullopt, "", content, {saved}, {""}},
    {"emptyBodyGivesEmptyFile", {{"/file", {answer(200)}}}, std::nullopt, "", "", {saved}, {""}},
    {"matchingCopyNotFetched", {{"/file", {answer(200, content)}}}, "abc", "352441c2", "abc",
     {"Local file is up to date. No need to download."}, {}},
    {"differingCopyReplaced", {{"/file", {answer(200, content)}}}, "abc", contentSum, content,
     {mismatch, saved}, {""}},
    {"emptyChecksumAlwaysFetches", {{"/file", {answer(200, content)}}}, "abc", "", content,
     {mismatch, saved}, {""}},
    {"emptyCopyNotHashed", {{"/file", {answer(200, content)}}}, "", contentSum, content, {saved},
     {""}},
    {"serverErrorThenOk", {{"/file", {answer(500, "broken"), answer(200, content)}}},
     std::nullopt, "", content, {failed + "No error, HTTP code: 500", saved}, {"", ""}},
    {"redirectThenOk",
     {{"/file", {redirectTo("/elsewhere")}}, {"/elsewhere", {answer(200, content)}}},
     std::nullopt, "", content, {saved}, {""}},
    // Bytes that do not match the checksum never reach the file; a checksum written in capitals
    // is another text, so the first answer is refused too.
    {"wrongBytesRefusedThenRight",
     {{"/file", {answer(200, "tampered"), answer(200, content)}}}, "old", contentSum, content,
     {mismatch, "Download refused: checksum 24997ab5 instead of " + contentSum + " for " + "<file>",
      saved},
     {"", ""}},
    // A cut transfer goes on where it stopped; the checksum proves the join.
    {"cutOffThenResumed", {{"/file", {cutAfter(big, 30000), answer(200, big)}}}, "old", bigSum,
     big,
     {mismatch, failed + "Transferred a partial file, HTTP code: 200",
      "Resuming download at byte 30000", saved},
     {"", "bytes=30000-"}},
    {"cutTwiceResumedTwice",
     {{"/file", {cutAfter(big, 30000), cutAfter(big, 40000), answer(200, big)}}}, std::nullopt,
     bigSum, big,
     {failed + "Transferred a partial file, HTTP code: 200", "Resuming download at byte 30000",
      failed + "Transferred a partial file, HTTP code: 206", "Resuming download at byte 40000",
      saved},
     {"", "bytes=30000-", "bytes=40000-"}},
    {"rangeIgnoredStartsOver",
     {{"/file", {cutAfter(big, 30000), ignoringRange(answer(200, big))}}}, std::nullopt, bigSum,
     big,
     {failed + "Transferred a partial file, HTTP code: 200", "Resuming download at byte 30000",
      saved},
     {"", "bytes=30000-"}},
    // A part that does not continue ours would corrupt the join: the next attempt starts over.
    {"wrongPartStartsOver",
     {{"/file",
       {cutAfter(big, 30000),
        ignoringRange(withHeader(answer(206, "yyyy"), "Content-Range", "bytes 7-10/50000")),
        answer(200, big)}}},
     std::nullopt, bigSum, big,
     {failed + "Transferred a partial file, HTTP code: 200", "Resuming download at byte 30000",
      failed + "Failed writing received data to disk/application, HTTP code: 206", saved},
     {"", "bytes=30000-", ""}},
    // Without a checksum nothing could prove a join: every attempt starts from the beginning.
    {"uncheckedFileNotResumed", {{"/file", {cutAfter(big, 30000), answer(200, big)}}},
     std::nullopt, "", big, {failed + "Transferred a partial file, HTTP code: 200", saved},
     {"", ""}},
    {"stallThenOk", {{"/file", {answer(200, "xy", Delivery::Stall), answer(200, content)}}},
     std::nullopt, "", content, {failed + "Timeout was reached, HTTP code: 200", saved},
     {"", ""}, 1},
    // What a launcher that was ended midway received is taken up by the next one.
    {"leftOverPartResumed", {{"/file", {answer(200, big)}}}, "old", bigSum, big,
     {mismatch, "Resuming download at byte 20000", saved}, {"bytes=20000-"},
     defaultStallSeconds, big.substr(0, 20000)},
    {"leftOverWholeFileNeedsNoTransfer", {{"/file", {answer(200, big)}}}, "old", bigSum, big,
     {mismatch, saved}, {}, defaultStallSeconds, big},
    // Growing pauses outlast a short outage that ten attempts in a row would not.
    {"outageOutlasted", {{"/file", {answer(200, content)}}}, "old", contentSum, content,
     {mismatch, failed + "No error, HTTP code: 503", failed + "No error, HTTP code: 503", saved},
     {"", "", ""}, defaultStallSeconds, std::nullopt, 150, 100},
};

class Download : public testing::Test {
protected:
    void SetUp() override {
        useUserFolder(folder);
        PatchProgress.fileProgress.store(0);
        PatchProgress.downloadName.set(u"");
        PatchProgress.fileName.set(u"");
    }
    void TearDown() override {
        setStallSeconds(defaultStallSeconds);
        setRetryPauseUnit(std::chrono::milliseconds(1));
    }

    std::vector<std::string> failures(const std::string& line, int times) {
        std::vector<std::string> log{"Patched: " + target};
        log.insert(log.end(), static_cast<std::size_t>(times), line);
        return log;
    }

    TempDir folder;
    HttpServer server;
    std::string target = folder.file("file.bin");
};

class DownloadTable : public Download, public testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadTable, AnswersFileAndLog) {
    const DownloadCase& row = GetParam();
    for (const auto& [path, answers] : row.scripts) server.script(path, answers);
    if (row.outageMs > 0) server.failFor("/file", std::chrono::milliseconds(row.outageMs), 503);
    setStallSeconds(row.stallSeconds);
    setRetryPauseUnit(std::chrono::milliseconds(row.retryUnitMs));
    // Parent folders that do not exist yet are made by the download.
    const std::string localPath = folder.file("Astrovance/Data/file.bin");
    if (row.localBefore) writeFile(localPath, *row.localBefore);
    if (row.stagedBefore) writeFile(localPath + ".orv-partial", *row.stagedBefore);

    EXPECT_TRUE(downloadFile(server.url("/file"), localPath, "Data/file.bin",
                             row.expectedChecksum, false));

    EXPECT_EQ(readFile(localPath), row.localAfter);
    EXPECT_EQ(filesBelow(folder.path() / "Astrovance"), std::vector<std::string>{"Data/file.bin"})
        << "nothing of the transfer is left beside the file";
    std::vector<std::string> expectedLog{"Patched: " + localPath};
    for (std::string line : row.log) {
        if (const auto at = line.find("<file>"); at != std::string::npos)
            line.replace(at, 6, localPath);
        expectedLog.push_back(line);
    }
    EXPECT_EQ(logMessages(), expectedLog);
    EXPECT_EQ(server.rangesAsked("/file"), row.ranges);
}

INSTANTIATE_TEST_SUITE_P(Rows, DownloadTable, testing::ValuesIn(downloadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Download, TargetThatCannotBeWrittenEndsAtOnce) {
    server.script("/file", {answer(200, content)});
    fs::create_directories(target);  // a folder where the file should go

    downloadFile(server.url("/file"), target, "file.bin", "", false);

    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Patched: " + target,
                                                       "Failed to open file for writing: " + target}));
    EXPECT_EQ(server.requests("/file"), 0);
}

// Whether the server fails or keeps sending the wrong bytes, the installed file is never touched.
TEST_F(Download, TenFailuresTellTheUserAndEndTheProcess) {
    writeFile(target, "the good old file");
    for (const bool wrongBytes : {false, true}) {
        server.script("/file", {wrongBytes ? answer(200, "tampered") : answer(404, "missing")});
        EXPECT_EXIT(downloadFile(server.url("/file"), target, "file.bin", contentSum, false),
                    testing::ExitedWithCode(0),
                    "Download Failed: Connection lost!\\. Please check your internet connection "
                    "and restart the launcher\\.");
#ifdef _WIN32
        GTEST_SKIP() << "only the exit status and message are checked on Windows: the death "
                        "test's child is a new process with its own test folder and server";
#endif
        const std::string line =
            wrongBytes ? "Download refused: checksum 24997ab5 instead of " + contentSum + " for " + target
                       : failed + "No error, HTTP code: 404";
        std::vector<std::string> expected{"Patched: " + target, mismatch};
        expected.insert(expected.end(), 10, line);
        EXPECT_EQ(logMessages(), expected);
        EXPECT_EQ(server.requests("/file"), 10);
        EXPECT_EQ(readFile(target), "the good old file");
        EXPECT_FALSE(fs::exists(target + ".orv-partial")) << "refused bytes are not kept";
        useUserFolder(folder);
    }
}

#ifndef _WIN32
// A disk that fills up: no file of the process may grow beyond `limit` bytes (the log included).
void downloadWithFileSizeLimit(const std::string& url, const std::string& target,
                               std::uint64_t limit) {
    const FileSizeLimit full(limit);
    downloadFile(url, target, "file.bin", "", true);
}

TEST_F(Download, WriteFailingMidwayOrOnlyAtCloseIsAFailedAttempt) {
    server.script("/file", {answer(200, std::string(1 << 20, 'w'))});
    EXPECT_EXIT(downloadWithFileSizeLimit(server.url("/file"), target, 64 * 1024),
                testing::ExitedWithCode(0), "Download Failed");
    EXPECT_EQ(logMessages(),
              failures(failed + "Failed writing received data to disk/application, HTTP code: 200", 10));
    EXPECT_FALSE(fs::exists(target));

    // The body sits in the stream's buffer until the file is closed, and only that close fails.
    // The limit is too small for the log, so only the outcome is checked: the attempts fail
    // (a saved file would return instead of ending the process) and nothing is left behind.
    server.script("/file", {answer(200, std::string(200, 'w'))});
    EXPECT_EXIT(downloadWithFileSizeLimit(server.url("/file"), target, 16),
                testing::ExitedWithCode(0), "Download Failed");
    EXPECT_EQ(server.requests("/file"), 10);
    EXPECT_FALSE(fs::exists(target));
}
#endif

TEST_F(Download, ArchiveAtTheRootIsShownByItsBareName) {
    // The archive's path is the installation root (".\" or "./") joined with "/ORV.zip".
    const std::string archive = std::string(".") + platform::pathSeparator + "/ORV.zip";
    server.script("/ORV.zip", {answer(200, content)});
    {
        const WorkingFolder root(folder.path());
        downloadFile(server.url("/ORV.zip"), archive, "", "", false);
        EXPECT_EQ(readFile(archive), content);
    }
    const auto log = logMessages();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Patched: ORV.zip");
    EXPECT_EQ(PatchProgress.downloadName.get(), u"ORV.zip");
    EXPECT_EQ(PatchProgress.fileName.get(), u"ORV.zip");
}

const std::size_t bigSize = 1536000;

// A full transfer shows all its kilobytes; the transfers after it publish nothing: one too small
// to report, one of unknown length, one without progress.
TEST_F(Download, TransfersThatPublishNothingKeepTheLastProgressShown) {
    server.script("/big", {answer(200, std::string(bigSize, 'b'))});
    server.script("/small", {answer(200, std::string(174, 's'))});
    server.script("/chunked", {answer(200, std::string(bigSize, 'c'), Delivery::Chunked)});
    downloadFile(server.url("/big"), target, "Data/big.pak", "", false);

    downloadFile(server.url("/small"), folder.file("small"), "small", "", false);
    downloadFile(server.url("/chunked"), folder.file("chunked"), "chunked", "", false);
    downloadFile(server.url("/big"), folder.file("quiet"), "quiet", "", true);

    EXPECT_EQ(readFile(folder.file("chunked")), std::string(bigSize, 'c'));
    EXPECT_EQ(fs::file_size(folder.file("quiet")), bigSize);
    EXPECT_EQ(PatchProgress.fileProgress.load(), 100);
    EXPECT_EQ(PatchProgress.fileName.get(), u"Data/big.pak (1500 KB / 1500 KB)");
    EXPECT_EQ(PatchProgress.downloadName.get(), u"quiet");
}

TEST_F(Download, HalfwayShowsHalfTheKilobytes) {
    server.script("/big", {answer(200, std::string(bigSize, 'b'), Delivery::Pause)});
    std::thread transfer([&] { downloadFile(server.url("/big"), target, "big", "", false); });

    // The server holds back the second half until released, so the halfway state is stable.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((PatchProgress.fileProgress.load() != 50 ||
            PatchProgress.fileName.get() != u"big (750 KB / 1500 KB)") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const int halfway = PatchProgress.fileProgress.load();
    const std::u16string halfwayName = PatchProgress.fileName.get();
    server.release();
    transfer.join();

    EXPECT_EQ(halfway, 50);
    EXPECT_EQ(halfwayName, u"big (750 KB / 1500 KB)");
    EXPECT_EQ(PatchProgress.fileProgress.load(), 100);
    EXPECT_EQ(fs::file_size(target), bigSize);
}

}  // namespace
