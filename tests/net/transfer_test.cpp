// Fetches into memory and downloads onto the disk against the test server's answers and faults,
// and the progress a download shows.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/patch_progress.h"
#include "net/download.h"
#include "net/download_progress.h"
#include "net/fetch.h"
#include "net/retry_pause.h"
#include "net/stall_limit.h"
#include "platform/platform.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

TEST(DownloadProgress, PublishesPercentageAndKilobytesFromTheSmallestReportedSizeOn) {
    const struct {
        std::int64_t expected, received;
        std::int32_t progress;  // -1: nothing published
        std::u16string kilobytes;
    } rows[] = {
        {0, 0, -1, u""},  // length not known yet
        {-1, 500, -1, u""},
        {174, 100, -1, u""},
        {175, 0, 0, u" (0 KB / 0 KB)"},
        {175, 175, 100, u" (0 KB / 0 KB)"},
        {2048, 1023, 49, u" (0 KB / 2 KB)"},
        {1536000, 1535999, 99, u" (1499 KB / 1500 KB)"},
        {3LL << 30, 3LL << 29, 50, u" (1572864 KB / 3145728 KB)"},  // beyond 32 bits, no wrap
    };
    const int transfer = 0;
    for (const auto& row : rows) {
        PatchProgress.fileName.set(u"before");
        PatchProgress.fileProgress.store(37);
        EXPECT_EQ(publishDownloadProgress(&transfer, u"Data/ä.pak", row.expected, row.received), 0);
        const bool published = row.progress >= 0;
        EXPECT_EQ(PatchProgress.fileProgress.load(), published ? row.progress : 37) << row.received;
        EXPECT_EQ(PatchProgress.fileName.get(),
                  published ? u"Data/ä.pak" + row.kilobytes : u"before");
    }
    releaseDownloadProgress(&transfer);
}

// Transfers side by side: the file line stays with one until it ends, so the page never shows one
// file's name beside another's percentage.
TEST(DownloadProgress, FollowsOneOfSeveralTransfersAtATime) {
    const int first = 0, second = 0;
    publishDownloadProgress(&first, u"a", 1000, 100);
    publishDownloadProgress(&second, u"b", 1000, 900);
    EXPECT_EQ(PatchProgress.fileName.get(), u"a (0 KB / 0 KB)");
    releaseDownloadProgress(&second);  // not the one shown: changes nothing
    publishDownloadProgress(&first, u"a", 1000, 200);
    EXPECT_EQ(PatchProgress.fileProgress.load(), 20);
    releaseDownloadProgress(&first);
    publishDownloadProgress(&second, u"b", 1000, 950);
    EXPECT_EQ(PatchProgress.fileName.get(), u"b (0 KB / 0 KB)");
    EXPECT_EQ(PatchProgress.fileProgress.load(), 95);
    releaseDownloadProgress(&second);
}

const std::string content = "fresh content of the file\n", contentSum = "eddfe2f4";
const std::string big(50000, 'x'), bigSum = "b5ee1fda", binary("a\0b\r\n\xff", 6);
const std::string failed = "Failed to download file. CURL error: ",
                  partial = failed + "Transferred a partial file, HTTP code: ",
                  saved = "Download complete and file saved.",
                  performFailed = "curl_easy_perform() failed: ",
                  mismatch = "Local file hash mismatch. Deleting file to download fresh copy.";
constexpr std::nullopt_t fetch = std::nullopt;

std::vector<std::string> times(int count, const std::string& line) {
    return std::vector<std::string>(static_cast<std::size_t>(count), line);
}
HttpAnswer ignoringRange(HttpAnswer made) {
    made.ignoresRange = true;
    return made;
}

// One row: a fetch into memory, or a download of "/file" to Astrovance/Data/file.bin with the
// checksum given; the answers to "/file" ("/moved" always answers `content`); what the fetch
// returns or the file holds afterwards; the log after the download's "Patched: {file}" line
// ("{url}" and "{file}" stand for the URL and the local path); the Range header of every request
// for "/file"; the local copy (and what an earlier launcher left of its replacement) before.
struct Row {
    const char* name;
    std::optional<std::string> checksum;
    std::vector<HttpAnswer> answers;
    std::string result;
    std::vector<std::string> log, ranges;
    std::optional<std::string> before = std::nullopt, staged = std::nullopt;
    int stallSeconds = defaultStallSeconds, outageMs = 0, retryUnitMs = 1;
};

// clang-format off
void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

const Row rows[] = {
    {"fetchEmptyBody", fetch, {answer(200)}, "", {}, {""}},
    {"fetchBinaryBody", fetch, {answer(200, binary)}, binary, {}, {""}},
    {"fetchServerErrorThreeTimes", fetch, {answer(500, "broken")}, "",
     times(3, "HTTP Error: 500 {url}"), times(3, "")},
    {"fetchServerErrorThenOk", fetch, {answer(500, "broken"), answer(200, content)}, content,
     {"HTTP Error: 500 {url}"}, {"", ""}},
    {"fetchNoContentIsNotOk", fetch, {answer(204)}, "", times(3, "HTTP Error: 204 {url}"),
     times(3, "")},
    {"fetchRedirectFollowed", fetch, {redirectTo("/moved")}, content, {}, {""}},
    // The part of the body that came before the cut is not kept.
    {"fetchCutOffThenWhole", fetch, {answer(200, big, Delivery::CutOff), answer(200, content)},
     content, {performFailed + "Transferred a partial file"}, {"", ""}},
    {"fetchChunked", fetch, {answer(200, big, Delivery::Chunked)}, big, {}, {""}},
    {"fetchStalledThenWhole", fetch, {answer(200, "xy", Delivery::Stall), answer(200, content)},
     content, {performFailed + "Timeout was reached"}, {"", ""}, fetch, fetch, 1},
    // Regression: an answer without end grew the body until memory ran out.
    {"fetchEndlessBodyFailsInsteadOfTakingAllMemory", fetch, {answer(200, {}, Delivery::Endless)},
     "", times(3, performFailed + "Failed writing received data to disk/application"),
     times(3, "")},
    {"fetchRedirectLoopEnds", fetch, {redirectTo("/file")}, "",
     times(3, performFailed + "Number of redirects hit maximum amount"), times(3 * 31, "")},

    {"freshFile", "", {answer(200, content)}, content, {saved}, {""}},
    {"emptyBodyGivesEmptyFile", "", {answer(200)}, "", {saved}, {""}},
    {"matchingCopyNotFetched", "352441c2", {answer(200, content)}, "abc",
     {"Local file is up to date. No need to download."}, {}, "abc"},
    {"differingCopyReplaced", contentSum, {answer(200, content)}, content, {mismatch, saved},
     {""}, "abc"},
    {"emptyChecksumAlwaysFetches", "", {answer(200, content)}, content, {mismatch, saved}, {""},
     "abc"},
    {"emptyCopyNotHashed", contentSum, {answer(200, content)}, content, {saved}, {""}, ""},
    {"serverErrorThenOk", "", {answer(500, "broken"), answer(200, content)}, content,
     {failed + "No error, HTTP code: 500", saved}, {"", ""}},
    {"redirectFollowed", "", {redirectTo("/moved")}, content, {saved}, {""}},
    // Bytes that do not match the checksum never reach the file.
    {"wrongBytesRefusedThenRight", contentSum, {answer(200, "tampered"), answer(200, content)},
     content,
     {mismatch, "Download refused: checksum 24997ab5 instead of " + contentSum + " for {file}",
      saved},
     {"", ""}, "old"},
    // A cut transfer goes on where it stopped; the checksum proves the join.
    {"cutOffThenResumed", bigSum, {cutAfter(big, 30000), answer(200, big)}, big,
     {mismatch, partial + "200", "Resuming download at byte 30000", saved},
     {"", "bytes=30000-"}, "old"},
    {"cutTwiceResumedTwice", bigSum,
     {cutAfter(big, 30000), cutAfter(big, 40000), answer(200, big)}, big,
     {partial + "200", "Resuming download at byte 30000", partial + "206",
      "Resuming download at byte 40000", saved},
     {"", "bytes=30000-", "bytes=40000-"}},
    {"rangeIgnoredStartsOver", bigSum, {cutAfter(big, 30000), ignoringRange(answer(200, big))},
     big, {partial + "200", "Resuming download at byte 30000", saved}, {"", "bytes=30000-"}},
    // A part that does not continue ours would corrupt the join: the next attempt starts over.
    {"wrongPartStartsOver", bigSum,
     {cutAfter(big, 30000),
      {206, "yyyy", Delivery::Whole, {{"Content-Range", "bytes 7-10/50000"}}, 0, true},
      answer(200, big)},
     big,
     {partial + "200", "Resuming download at byte 30000",
      failed + "Failed writing received data to disk/application, HTTP code: 206", saved},
     {"", "bytes=30000-", ""}},
    // Without a checksum nothing could prove a join: every attempt starts from the beginning.
    {"uncheckedFileNotResumed", "", {cutAfter(big, 30000), answer(200, big)}, big,
     {partial + "200", saved}, {"", ""}},
    {"stallThenOk", "", {answer(200, "xy", Delivery::Stall), answer(200, content)}, content,
     {failed + "Timeout was reached, HTTP code: 200", saved}, {"", ""}, fetch, fetch, 1},
    // What a launcher that was ended midway received is taken up by the next one.
    {"leftOverPartResumed", bigSum, {answer(200, big)}, big,
     {mismatch, "Resuming download at byte 20000", saved}, {"bytes=20000-"}, "old",
     big.substr(0, 20000)},
    {"leftOverWholeFileNeedsNoTransfer", bigSum, {answer(200, big)}, big, {mismatch, saved}, {},
     "old", big},
    // Growing pauses outlast a short outage that ten attempts in a row would not: 20, 40, 80,
    // 160 ms after the first four failures, the sixth attempt comes after the outage.
    {"outageOutlasted", contentSum, {answer(200, content)}, content,
     {mismatch, failed + "No error, HTTP code: 503", failed + "No error, HTTP code: 503",
      failed + "No error, HTTP code: 503", failed + "No error, HTTP code: 503",
      failed + "No error, HTTP code: 503", saved},
     times(6, ""), "old", fetch, defaultStallSeconds, 400, 20},
};
// clang-format on

class Transfer : public testing::TestWithParam<Row> {
protected:
    void SetUp() override {
        useUserFolder(folder);
        PatchProgress.fileProgress.store(0);
        PatchProgress.fileName.set(u"");
    }
    void TearDown() override {
        setStallSeconds(defaultStallSeconds);
        setRetryPauseUnit(milliseconds(1));
    }

    TempDir folder;
    HttpServer server;
    const std::string target = folder.file("file.bin");
};

TEST_P(Transfer, AnswersResultLogAndRanges) {
    const Row& row = GetParam();
    server.script("/file", row.answers);
    server.script("/moved", {answer(200, content)});
    if (row.outageMs > 0) server.failFor("/file", milliseconds(row.outageMs), 503);
    setStallSeconds(row.stallSeconds);
    setRetryPauseUnit(milliseconds(row.retryUnitMs));
    const std::string url = server.url("/file"), local = folder.file("Astrovance/Data/file.bin");
    if (row.before) writeFile(local, *row.before);
    if (row.staged) writeFile(local + ".orv-partial", *row.staged);
    std::vector<std::string> log;
    if (row.checksum) {
        EXPECT_TRUE(downloadFile(url, local, "Data/file.bin", *row.checksum, false));
        EXPECT_EQ(readFile(local), row.result);
        // The folders are made; nothing of the transfer is left beside the file.
        EXPECT_EQ(filesBelow(folder.path() / "Astrovance"),
                  std::vector<std::string>{"Data/file.bin"});
        log.push_back("Patched: {file}");
    } else {
        EXPECT_EQ(fetchUrl(url), row.result);
    }
    log.insert(log.end(), row.log.begin(), row.log.end());
    for (std::string& line : log) {
        for (const auto& [name, value] : {std::pair{"{url}", url}, std::pair{"{file}", local}})
            if (const auto at = line.find(name); at != std::string::npos)
                line.replace(at, 5 + (name[1] == 'f'), value);
    }
    EXPECT_EQ(logMessages(), log);
    EXPECT_EQ(server.rangesAsked("/file"), row.ranges);
}

INSTANTIATE_TEST_SUITE_P(Rows, Transfer, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Transfer, TargetThatCannotBeWrittenEndsAtOnce) {
    server.script("/file", {answer(200, content)});
    fs::create_directories(target);  // a folder where the file should go
    EXPECT_FALSE(downloadFile(server.url("/file"), target, "file.bin", "", false));
    EXPECT_EQ(logMessages(),
              (std::vector<std::string>{"Patched: " + target,
                                        "Failed to open file for writing: " + target}));
    EXPECT_EQ(server.requests("/file"), 0);
}

// Whether the server fails or keeps sending the wrong bytes, the installed file is never touched.
TEST_F(Transfer, TenFailuresTellTheUserAndEndTheProcess) {
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
        std::vector<std::string> expected{"Patched: " + target, mismatch};
        const auto line = wrongBytes ? "Download refused: checksum 24997ab5 instead of " +
                                           contentSum + " for " + target
                                     : failed + "No error, HTTP code: 404";
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

TEST_F(Transfer, WriteFailingMidwayOrOnlyAtCloseIsAFailedAttempt) {
    server.script("/file", {answer(200, std::string(1 << 20, 'w'))});
    EXPECT_EXIT(downloadWithFileSizeLimit(server.url("/file"), target, 64 * 1024),
                testing::ExitedWithCode(0), "Download Failed");
    std::vector<std::string> expected{"Patched: " + target};
    expected.insert(expected.end(), 10,
                    failed + "Failed writing received data to disk/application, HTTP code: 200");
    EXPECT_EQ(logMessages(), expected);
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

TEST_F(Transfer, ArchiveAtTheRootIsShownByItsBareName) {
    // The archive's path is the installation root (".\" or "./") joined with "/ORV.zip".
    const std::string archive = std::string(".") + platform::pathSeparator + "/ORV.zip";
    server.script("/ORV.zip", {answer(200, content)});
    {
        const WorkingFolder root(folder.path());
        downloadFile(server.url("/ORV.zip"), archive, "", "", false);
        EXPECT_EQ(readFile(archive), content);
    }
    EXPECT_EQ(logMessages().at(0), "Patched: ORV.zip");
    EXPECT_EQ(PatchProgress.downloadName.get(), u"ORV.zip");
    EXPECT_EQ(PatchProgress.fileName.get(), u"ORV.zip");
}

// Halfway (the server holds the second half back) and at the end a transfer shows its kilobytes;
// the transfers after it publish nothing: one too small to report, one of unknown length, one
// without progress.
TEST_F(Transfer, ProgressShowsKilobytesAndLaterTransfersThatPublishNothingKeepIt) {
    const std::size_t size = 1536000;
    server.script("/big", {answer(200, std::string(size, 'b'), Delivery::Pause)});
    server.script("/small", {answer(200, std::string(174, 's'))});
    server.script("/chunked", {answer(200, std::string(size, 'c'), Delivery::Chunked)});
    std::thread transfer(
        [&] { downloadFile(server.url("/big"), target, "Data/big.pak", "", false); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    const std::u16string halfway = u"Data/big.pak (750 KB / 1500 KB)";
    while ((PatchProgress.fileProgress.load() != 50 || PatchProgress.fileName.get() != halfway) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(PatchProgress.fileProgress.load(), 50);
    EXPECT_EQ(PatchProgress.fileName.get(), halfway);
    server.release();
    transfer.join();

    downloadFile(server.url("/small"), folder.file("small"), "small", "", false);
    downloadFile(server.url("/chunked"), folder.file("chunked"), "chunked", "", false);
    downloadFile(server.url("/big"), folder.file("quiet"), "quiet", "", true);
    EXPECT_EQ(readFile(folder.file("chunked")), std::string(size, 'c'));
    EXPECT_EQ(fs::file_size(folder.file("quiet")), size);
    EXPECT_EQ(PatchProgress.fileProgress.load(), 100);
    EXPECT_EQ(PatchProgress.fileName.get(), u"Data/big.pak (1500 KB / 1500 KB)");
    EXPECT_EQ(PatchProgress.downloadName.get(), u"quiet");
}

}  // namespace
