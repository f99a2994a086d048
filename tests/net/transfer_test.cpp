// Fetches into memory and downloads onto the disk against the test server's answers and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/patch_progress.h"
#include "core/text.h"
#include "net/download.h"
#include "net/fetch.h"
#include "net/retry_pause.h"
#include "platform/platform.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

const std::string content = "fresh content of the file\n", contentSum = "eddfe2f4";
const std::string big(50000, 'x'), bigSum = "b5ee1fda";
const std::string failed = "Failed to download file. CURL error: ",
                  partial = failed + "Transferred a partial file, HTTP code: ",
                  saved = "Download complete and file saved.",
                  resumed = "Resuming download at byte ",
                  mismatch = "Local file hash mismatch. Deleting file to download fresh copy.",
                  refused = "Download refused: checksum 24997ab5 instead of " + contentSum +
                            " for {file}";
constexpr std::nullopt_t fetch = std::nullopt;

std::vector<std::string> times(int count, const std::string& line) {
    return std::vector<std::string>(static_cast<std::size_t>(count), line);
}

// A row: a fetch, or a download of "/file" with the checksum given;
// the answers; what is fetched or on disk after; the log after "Patched: {file}" ({url}, {file}:
// the URL, the local path); the Range headers asked; the local copy and partial file before.
struct Row {
    const char* name;
    std::optional<std::string> checksum;
    std::vector<HttpAnswer> answers;
    std::string result;
    std::vector<std::string> log, ranges;
    std::optional<std::string> before = std::nullopt, staged = std::nullopt;
    // 503 for so long, with pauses between attempts of 20 ms and growing. The pauses are drawn at
    // random, so the log and ranges are compared with repeated lines taken as one.
    int outageMs = 0;
    bool arrives = true;  // the file is in place afterwards, else the old one stays
    int waitsMs = 0;      // the attempts take at least this long: a pause the server asked for
    const char* line = nullptr;  // the page's file line afterwards, "name at percent", if checked
};

// clang-format off
const Row rows[] = {
    {"fetchServerErrorThreeTimes", fetch, {answer(500, "broken")}, "",
     times(3, "HTTP Error: 500 {url}"), times(3, "")},
    // Regression: an answer without end grew the body until memory ran out.
    {"fetchEndlessBodyFailsInsteadOfTakingAllMemory", fetch, {answer(200, {}, Delivery::Endless)},
     "", times(3, "curl_easy_perform() failed: Failed writing received data to disk/application"),
     times(3, "")},

    {"matchingCopyNotFetched", "352441c2", {answer(200, content)}, "abc",
     {"Local file is up to date. No need to download."}, {}, "abc"},
    {"differingCopyReplaced", contentSum, {answer(200, content)}, content, {mismatch, saved},
     {""}, "abc"},
    {"serverErrorThenOk", "", {answer(500, "broken"), answer(200, content)}, content,
     {failed + "No error, HTTP code: 500", saved}, {"", ""}},
    // Regression: bytes that do not match the checksum never reach the file.
    {"wrongBytesRefusedThenRight", contentSum, {answer(200, "tampered"), answer(200, content)},
     content, {mismatch, refused, saved}, {"", ""}, "old"},
    // Regression: cut at 60 % and at 80 %, each attempt goes on where the last one stopped, never
    // from byte 0 again; the checksum proves the joins.
    {"cutTwiceResumedTwice", bigSum,
     {cutAfter(big, 30000), cutAfter(big, 40000), answer(200, big)}, big,
     {partial + "200", resumed + "30000", partial + "206", resumed + "40000", saved},
     {"", "bytes=30000-", "bytes=40000-"}},
    {"rangeIgnoredStartsOver", bigSum,
     {cutAfter(big, 30000), {200, big, Delivery::Whole, {}, std::string::npos, true}}, big,
     {partial + "200", resumed + "30000", saved}, {"", "bytes=30000-"}},
    // A part that does not continue ours, or a refused range, would corrupt the join or be asked
    // for again and again: the next attempt starts over.
    {"wrongPartStartsOver", bigSum,
     {cutAfter(big, 30000),
      {206, "yyyy", Delivery::Whole, {{"Content-Range", "bytes 7-10/50000"}}, 0, true},
      answer(200, big)},
     big,
     {partial + "200", resumed + "30000",
      failed + "Failed writing received data to disk/application, HTTP code: 206", saved},
     {"", "bytes=30000-", ""}},
    {"refusedRangeStartsOver", bigSum, {cutAfter(big, 30000), answer(416), answer(200, big)}, big,
     {partial + "200", resumed + "30000", failed + "No error, HTTP code: 416", saved},
     {"", "bytes=30000-", ""}},
    // Without a checksum nothing could prove a join: every attempt starts from the beginning, and
    // what an earlier launcher left is not taken up.
    {"uncheckedFileNotResumed", "", {cutAfter(big, 30000), answer(200, big)}, big,
     {partial + "200", saved}, {"", ""}},
    {"uncheckedLeftOverDropped", "", {answer(200, big)}, big, {saved}, {""}, fetch,
     big.substr(0, 20000)},
    // What a launcher that was ended midway received is taken up by the next one.
    {"leftOverPartResumed", bigSum, {answer(200, big)}, big,
     {mismatch, resumed + "20000", saved}, {"bytes=20000-"}, "old", big.substr(0, 20000)},
    // Regression: growing pauses outlast a 503 outage that ten attempts in a row would not.
    {"outageOutlasted", contentSum, {answer(200, content)}, content,
     {mismatch, failed + "No error, HTTP code: 503", saved}, {""}, "old", fetch, 400},
    // Regression: a file the server keeps wrong (or does not have) locked every player out with
    // the lost-connection box. It is a failed file now, after a few whole answers; the old file
    // stays, and nothing of the refused bytes is kept.
    {"wrongBytesFailTheFileNotTheLauncher", contentSum, {answer(200, "tampered")}, "old",
     {mismatch, refused, refused, refused,
      "Download given up: the server's file does not match its checksum"},
     times(3, ""), "old", fetch, 0, false},
    {"missingFileFailsTheFileNotTheLauncher", contentSum, {answer(404, "gone")}, "old",
     {mismatch, failed + "No error, HTTP code: 404", failed + "No error, HTTP code: 404",
      failed + "No error, HTTP code: 404", "Download given up: the server does not give out the file"},
     times(3, ""), "old", fetch, 0, false},
    // An overloaded server's Retry-After is honoured when it fits in the attempts' minute.
    {"retryAfterHonoured", contentSum,
     {{503, "busy", Delivery::Whole, {{"Retry-After", "1"}}}, answer(200, content)}, content,
     {failed + "No error, HTTP code: 503", "The server asked to wait 1 s before the next attempt",
      saved},
     {"", ""}, fetch, fetch, 0, true, 1000},
    {"retryAfterBeyondTheMinuteNotWaitedFor", contentSum,
     {{429, "busy", Delivery::Whole, {{"Retry-After", "3600"}}}, answer(200, content)}, content,
     {failed + "No error, HTTP code: 429",
      "The server asked to wait 3600 s, longer than the attempts last: trying again sooner",
      saved},
     {"", ""}},
    // Progress is shown from 175 bytes on; a smaller length is taken for "not known yet".
    {"progressShownFrom175Bytes", "", {answer(200, std::string(175, 'p'))}, std::string(175, 'p'),
     {saved}, {""}, fetch, fetch, 0, true, 0, "Data/file.bin (0 KB / 0 KB) at 100"},
    {"noProgressBelow175Bytes", "", {answer(200, std::string(174, 'p'))}, std::string(174, 'p'),
     {saved}, {""}, fetch, fetch, 0, true, 0, "Data/file.bin at 0"},
};
// clang-format on

class Transfer : public testing::TestWithParam<Row> {
protected:
    void SetUp() override { useUserFolder(folder); }
    void TearDown() override { setRetryPauseUnit(milliseconds(1)); }

    TempDir folder;
    HttpServer server;
};

TEST_P(Transfer, AnswersResultLogAndRanges) {
    const Row& row = GetParam();
    server.script("/file", row.answers);
    if (row.outageMs > 0) server.failFor("/file", milliseconds(row.outageMs), 503);
    setRetryPauseUnit(milliseconds(row.outageMs > 0 || row.waitsMs > 0 ? 20 : 1));
    const auto started = std::chrono::steady_clock::now();
    const std::string url = server.url("/file"), local = folder.file("Astrovance/Data/file.bin");
    if (row.before) writeFile(local, *row.before);
    if (row.staged) writeFile(local + ".orv-partial", *row.staged);
    std::vector<std::string> log;
    if (row.checksum) {
        EXPECT_EQ(downloadFile(url, local, "Data/file.bin", *row.checksum, false), row.arrives);
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
        if (line.ends_with("{url}")) line = line.substr(0, line.size() - 5) + url;
        if (line.ends_with("{file}")) line = line.substr(0, line.size() - 6) + local;
    }
    std::vector<std::string> seen = logMessages(), ranges = server.rangesAsked("/file");
    if (row.outageMs > 0) {
        EXPECT_GE(server.requests("/file"), 5) << "the outage outlasts four attempts";
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        ranges.erase(std::unique(ranges.begin(), ranges.end()), ranges.end());
    }
    EXPECT_EQ(seen, log);
    EXPECT_EQ(ranges, row.ranges);
    EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(row.waitsMs));
    if (row.line) {
        const FileLine line = PatchProgress.fileLine();
        EXPECT_EQ(toNarrow(line.name) + " at " + std::to_string(line.progress), row.line);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, Transfer, testing::ValuesIn(rows),
                         [](const auto& info) { return std::string(info.param.name); });

// A connection lost for good fails ten times, which tells the player and ends the process; the
// installed file is never touched.
TEST_F(Transfer, TenFailuresTellTheUserAndEndTheProcess) {
    const std::string target = folder.file("file.bin");
    writeFile(target, "the good old file");
    server.script("/file", {cutAfter(big, 100)});
    EXPECT_EXIT(downloadFile(server.url("/file"), target, "file.bin", "", false),
                testing::ExitedWithCode(0),
                "Download Failed: Connection lost!\\. Please check your internet connection and "
                "restart the launcher\\.");
#ifdef _WIN32
    GTEST_SKIP() << "only the exit status and message are checked on Windows: the death test's "
                    "child is a new process with its own test folder and server";
#endif
    std::vector<std::string> expected{"Patched: " + target, mismatch};
    expected.insert(expected.end(), 10, partial + "200");
    EXPECT_EQ(logMessages(), expected);
    EXPECT_EQ(server.requests("/file"), 10);
    EXPECT_EQ(readFile(target), "the good old file");
    EXPECT_FALSE(fs::exists(target + ".orv-partial")) << "unchecked bytes are not kept";
}

// Regression: four transfers that lost the connection together showed four boxes.
TEST_F(Transfer, TransfersThatGiveUpTogetherTellThePlayerOnce) {
    server.script("/file", {answer(503)});
    EXPECT_EXIT(
        {
            static std::atomic<int> boxes{0};
            platform::messageBoxAnswerer = [](const std::string&, const std::string&,
                                              platform::MessageKind) {
                ++boxes;
                std::this_thread::sleep_for(milliseconds(300));  // the others give up meanwhile
                std::fprintf(stderr, "boxes shown: %d\n", boxes.load());
                return platform::MessageAnswer::Ok;
            };
            std::vector<std::thread> transfers;
            for (int i = 0; i < 4; ++i)
                transfers.emplace_back([&, i] {
                    downloadFile(server.url("/file"), folder.file(std::to_string(i)), "", "",
                                 false);
                });
            for (std::thread& transfer : transfers) transfer.join();
        },
        testing::ExitedWithCode(0), "boxes shown: 1\n");
}

// The pauses of launchers that failed together differ, around a middle that doubles.
TEST(RetryPause, IsDrawnAroundAGrowingMiddle) {
    setRetryPauseUnit(milliseconds(100));
    for (const auto& [failures, middle] :
         {std::pair{1, 100}, {2, 200}, {4, 800}, {5, 1600}, {9, 1600}}) {
        std::vector<milliseconds::rep> pauses;
        for (int i = 0; i < 200; ++i) pauses.push_back(retryPause(failures).count());
        const auto [low, high] = std::minmax_element(pauses.begin(), pauses.end());
        EXPECT_GE(*low, middle / 2);
        EXPECT_LT(*low, middle * 3 / 4) << failures;
        EXPECT_GT(*high, middle * 5 / 4) << failures;
        EXPECT_LE(*high, middle * 3 / 2);
    }
    setRetryPauseUnit(milliseconds(1));
}

}  // namespace
