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
#include "net/stall_limit.h"
#include "platform/platform.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

const std::string failed = "Failed to download file. CURL error: ";

// One row: what the server answers for "/file", the local copy before the call, what must be on
// disk afterwards and the log. "{path}" in a log line stands for the local path.
struct DownloadCase {
    const char* name;
    std::vector<std::pair<std::string, std::vector<HttpAnswer>>> scripts;
    std::optional<std::string> localBefore;
    std::string expectedChecksum;
    std::optional<std::string> localAfter;  // nothing: no file
    std::vector<std::string> log;
    int requests;  // of "/file"
    int stallSeconds = defaultStallSeconds;
};

const std::string content = "fresh content of the file\n";

const DownloadCase downloadCases[] = {
    {"freshFile", {{"/file", {answer(200, content)}}}, std::nullopt, "", content,
     {"Patched: {path}", "Download complete and file saved."}, 1},
    {"emptyBodyGivesEmptyFile", {{"/file", {answer(200)}}}, std::nullopt, "", "",
     {"Patched: {path}", "Download complete and file saved."}, 1},
    {"matchingCopyNotFetched", {{"/file", {answer(200, content)}}}, "abc", "352441c2", "abc",
     {"Patched: {path}", "Local file is up to date. No need to download."}, 0},
    {"checksumComparedAsText", {{"/file", {answer(200, content)}}}, "abc", "352441C2", content,
     {"Patched: {path}", "Local file hash mismatch. Deleting file to download fresh copy.",
      "Download complete and file saved."},
     1},
    {"emptyChecksumAlwaysFetches", {{"/file", {answer(200, content)}}}, "abc", "", content,
     {"Patched: {path}", "Local file hash mismatch. Deleting file to download fresh copy.",
      "Download complete and file saved."},
     1},
    {"emptyCopyNotHashed", {{"/file", {answer(200, content)}}}, "", "0", content,
     {"Patched: {path}", "Download complete and file saved."}, 1},
    {"serverErrorThenOk", {{"/file", {answer(500, "broken"), answer(200, content)}}},
     std::nullopt, "", content,
     {"Patched: {path}", failed + "No error, HTTP code: 500", "Download complete and file saved."},
     2},
    {"redirectThenOk", {{"/file", {redirectTo("/elsewhere")}}, {"/elsewhere", {answer(200, content)}}},
     std::nullopt, "", content, {"Patched: {path}", "Download complete and file saved."}, 1},
    {"cutOffThenOk",
     {{"/file", {answer(200, std::string(50000, 'x'), Delivery::CutOff), answer(200, content)}}},
     "old", "", content,
     {"Patched: {path}", "Local file hash mismatch. Deleting file to download fresh copy.",
      failed + "Transferred a partial file, HTTP code: 200", "Download complete and file saved."},
     2},
    {"chunkedBody", {{"/file", {answer(200, std::string(300000, 'c'), Delivery::Chunked)}}},
     std::nullopt, "", std::string(300000, 'c'),
     {"Patched: {path}", "Download complete and file saved."}, 1},
    {"stallThenOk", {{"/file", {answer(200, "xy", Delivery::Stall), answer(200, content)}}},
     std::nullopt, "", content,
     {"Patched: {path}", failed + "Timeout was reached, HTTP code: 200",
      "Download complete and file saved."},
     2, 1},
};

class DownloadTable : public testing::TestWithParam<DownloadCase> {
protected:
    void SetUp() override { useUserFolder(folder); }
    void TearDown() override { setStallSeconds(defaultStallSeconds); }

    TempDir folder;
};

TEST_P(DownloadTable, AnswersFileAndLog) {
    const DownloadCase& row = GetParam();
    HttpServer server;
    for (const auto& [path, answers] : row.scripts) server.script(path, answers);
    setStallSeconds(row.stallSeconds);
    // Parent folders that do not exist yet are made by the download.
    const std::string localPath = folder.file("Astrovance/Data/file.bin");
    if (row.localBefore) writeFile(localPath, *row.localBefore);

    downloadFile(server.url("/file"), localPath, "Data/file.bin", row.expectedChecksum, false);

    if (row.localAfter) {
        EXPECT_EQ(readFile(localPath), *row.localAfter);
    } else {
        EXPECT_FALSE(fs::exists(localPath));
    }
    std::vector<std::string> expectedLog;
    for (std::string line : row.log) {
        if (const auto at = line.find("{path}"); at != std::string::npos) line.replace(at, 6, localPath);
        expectedLog.push_back(line);
    }
    EXPECT_EQ(logMessages(), expectedLog);
    EXPECT_EQ(server.requests("/file"), row.requests);
}

INSTANTIATE_TEST_SUITE_P(Rows, DownloadTable, testing::ValuesIn(downloadCases),
                         [](const auto& info) { return std::string(info.param.name); });

class Download : public testing::Test {
protected:
    void SetUp() override {
        useUserFolder(folder);
        PatchProgress.fileProgress.store(0);
        PatchProgress.downloadName.set(u"");
        PatchProgress.fileName.set(u"");
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

TEST_F(Download, TargetThatCannotBeWrittenEndsAtOnce) {
    server.script("/file", {answer(200, content)});
    fs::create_directories(target);  // a folder where the file should go

    downloadFile(server.url("/file"), target, "file.bin", "", false);

    EXPECT_TRUE(fs::is_directory(target));
    EXPECT_EQ(logMessages(), (std::vector<std::string>{"Patched: " + target,
                                                       "Failed to open file for writing: " + target}));
    EXPECT_EQ(server.requests("/file"), 0);
}

TEST_F(Download, TenFailuresTellTheUserAndEndTheProcess) {
    server.script("/file", {answer(404, "missing")});

    EXPECT_EXIT(downloadFile(server.url("/file"), target, "file.bin", "", false),
                testing::ExitedWithCode(0),
                "Download Failed: Connection lost!\\. Please check your internet connection and "
                "restart the launcher\\.");
#ifdef _WIN32
    GTEST_SKIP() << "only the exit status and message are checked on Windows: the death test's "
                    "child is a new process with its own test folder and server";
#endif

    EXPECT_EQ(logMessages(), failures(failed + "No error, HTTP code: 404", 10));
    EXPECT_EQ(server.requests("/file"), 10);
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, LocalCopyWithMatchingChecksumSendsNoRequestEvenWhenServerIsGone) {
    writeFile(target, "abc");
    std::string url;
    {
        HttpServer gone;
        url = gone.url("/file");
    }
    downloadFile(url, target, "file.bin", "352441c2", true);
    EXPECT_EQ(readFile(target), "abc");
    EXPECT_EQ(logMessages().back(), "Local file is up to date. No need to download.");
}

#ifndef _WIN32
// A disk that fills up: no file of the process may grow beyond `limit` bytes (the log included).
void downloadWithFileSizeLimit(const std::string& url, const std::string& target,
                               std::uint64_t limit) {
    const FileSizeLimit full(limit);
    downloadFile(url, target, "file.bin", "", true);
}

TEST_F(Download, WriteFailingMidwayIsAFailedAttempt) {
    server.script("/file", {answer(200, std::string(1 << 20, 'w'))});
    EXPECT_EXIT(downloadWithFileSizeLimit(server.url("/file"), target, 64 * 1024),
                testing::ExitedWithCode(0), "Download Failed");
    EXPECT_EQ(logMessages(),
              failures(failed + "Failed writing received data to disk/application, HTTP code: 200", 10));
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(Download, WriteFailingOnlyAtCloseIsNotReportedAsSaved) {
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

// Runs a block inside another working folder and always returns to the previous one.
class WorkingFolder {
public:
    explicit WorkingFolder(const fs::path& folder) : previous_(fs::current_path()) {
        fs::current_path(folder);
    }
    ~WorkingFolder() { fs::current_path(previous_); }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    fs::path previous_;
};

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

TEST_F(Download, FullTransferShowsAllKilobytes) {
    server.script("/big", {answer(200, std::string(bigSize, 'b'))});
    downloadFile(server.url("/big"), target, "Data/big.pak", "", false);
    EXPECT_EQ(fs::file_size(target), bigSize);
    EXPECT_EQ(PatchProgress.fileProgress.load(), 100);
    EXPECT_EQ(PatchProgress.downloadName.get(), u"Data/big.pak");
    EXPECT_EQ(PatchProgress.fileName.get(), u"Data/big.pak (1500 KB / 1500 KB)");
}

TEST_F(Download, TransfersThatPublishNothingKeepThePreviousProgress) {
    server.script("/big", {answer(200, std::string(bigSize, 'b'))});
    server.script("/small", {answer(200, std::string(174, 's'))});
    server.script("/chunked", {answer(200, std::string(bigSize, 'c'), Delivery::Chunked)});
    downloadFile(server.url("/big"), target, "big", "", false);

    downloadFile(server.url("/small"), folder.file("small"), "small", "", false);
    downloadFile(server.url("/chunked"), folder.file("chunked"), "chunked", "", false);
    downloadFile(server.url("/big"), folder.file("quiet"), "quiet", "", true);

    EXPECT_EQ(fs::file_size(folder.file("chunked")), bigSize);
    EXPECT_EQ(fs::file_size(folder.file("quiet")), bigSize);
    EXPECT_EQ(PatchProgress.fileProgress.load(), 100);
    EXPECT_EQ(PatchProgress.fileName.get(), u"big (1500 KB / 1500 KB)");
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
