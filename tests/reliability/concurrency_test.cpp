// Threads that meet in shared state: the client settings file written by the UI and the patch
// thread, the progress texts read by the timer while workers write them, and a repair asked for
// while a patch run is in progress. Built to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "net/endpoints.h"
#include "patch/patch_run.h"
#include "patch/patch_thread.h"
#include "testdata/make_install.h"
#include "tests/support/fake_browser.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"
#include "web/page_messages.h"

namespace fs = std::filesystem;

namespace {

constexpr int rounds = 200;

class Concurrency : public testing::Test {
protected:
    TempDir dir;
    void SetUp() override {
        useUserFolder(dir);
        writeFile(clientSettingsPath.get(), "[CLIENT]\r\ntoken=0ddba11\r\nVersion=1.0\r\n");
    }
};

// The UI thread stores settings while the patch thread records versions: every key written
// stays, and a reader never finds the file cut short.
TEST_F(Concurrency, SettingsFileWrittenFromTwoThreadsLosesNoKey) {
    const std::string path = clientSettingsPath.get();
    std::atomic<bool> writing{true};
    std::atomic<int> tokenMissing{0};
    std::thread reader([&] {
        while (writing.load())
            if (IniDocument::getValue(path, "CLIENT", "token") != "0ddba11") ++tokenMissing;
    });
    std::thread patchThread([&] {
        for (int i = 0; i < rounds; ++i) {
            IniDocument::setValue(path, "CLIENT", "Version", "1." + std::to_string(i));
            IniDocument::setValue(path, "Patch", "Key" + std::to_string(i % 20), std::to_string(i));
        }
    });
    for (int i = 0; i < rounds; ++i)
        IniDocument::setValue(path, "Config", "Setting" + std::to_string(i % 25), std::to_string(i));
    patchThread.join();
    writing = false;
    reader.join();

    EXPECT_EQ(tokenMissing.load(), 0);
    EXPECT_EQ(IniDocument::getValue(path, "CLIENT", "token"), "0ddba11");
    EXPECT_EQ(IniDocument::getValue(path, "CLIENT", "Version"), "1." + std::to_string(rounds - 1));
    for (int i = 0; i < 25; ++i) {
        EXPECT_EQ(IniDocument::getValue(path, "Config", "Setting" + std::to_string(i)),
                  std::to_string(rounds - 25 + i));
    }
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(IniDocument::getValue(path, "Patch", "Key" + std::to_string(i)),
                  std::to_string(rounds - 20 + i));
    }
    // No temporary file is left beside it.
    for (const auto& entry : fs::directory_iterator(fs::path(path).parent_path()))
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
}

// Workers replace the progress texts while the timer copies them: each copy is one whole text.
TEST_F(Concurrency, ProgressTextsAreAlwaysReadWhole) {
    const std::vector<std::u16string> texts = {
        std::u16string(300, u'a'), u"Data/Ships/emblem 01.dds (12 KB / 400 KB)", u"",
        std::u16string(5000, u'z') + u"ende"};
    const std::set<std::u16string> whole(texts.begin(), texts.end());
    std::atomic<bool> writing{true};
    std::atomic<int> torn{0};
    std::thread timer([&] {
        while (writing.load()) {
            if (!whole.count(PatchProgress.fileName.get())) ++torn;
            if (!whole.count(PatchProgress.downloadName.get())) ++torn;
            (void)PatchProgress.overallProgress.load();
        }
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < 3; ++w) {
        workers.emplace_back([&, w] {
            for (int i = 0; i < 2000; ++i) {
                const auto& text = texts[static_cast<std::size_t>(i + w) % texts.size()];
                PatchProgress.fileName.set(text);
                PatchProgress.downloadName.set(text);
                PatchProgress.overallProgress.exchange(i % 101);
            }
        });
    }
    for (auto& worker : workers) worker.join();
    writing = false;
    timer.join();
    EXPECT_EQ(torn.load(), 0);
    PatchProgress.fileName.set(u"");
    PatchProgress.downloadName.set(u"");
}

// The page asks for a repair while a run is downloading: the repair resets the progress and sends
// the browser back to the patcher page, the run ends without recording anything, and the repair's
// own run follows on the same thread and restores what the repair deleted. The settings file
// keeps its token.
TEST_F(Concurrency, RepairDuringPatchRun) {
    const fs::path root = dir.path() / "Install";
    testdata::InstallOptions options;
    options.installDir = root;
    options.serverDir = dir.path() / "Server";
    options.files = 4;
    options.sizeMb = 0.1;
    options.blanksInNames = false;
    const auto made = testdata::makeInstall(options);
    IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", made.installedVersion);

    HttpServer server;
    server.serveFolder("", options.serverDir);
    // The first file of the inc update waits halfway until the repair is done.
    const std::string held = "/updates/1.1/" + made.incFiles.front();
    server.script(held,
                  {answer(200, readFile(options.serverDir / held.substr(1)), Delivery::Pause)});
    overrideEndpoints(server.url(), server.url());

    FakeBrowser browser;
    {
        const WorkingFolder inRoot(root);
        patchRunning = false;
        ASSERT_TRUE(claimPatchRun());
        std::thread run([&] { runClaimedPatch(server.url()); });
        while (server.requests(held) == 0) std::this_thread::yield();

        onWebMessage(&browser.window, u"RepairAstrovance");
        EXPECT_TRUE(patchRunning.load()) << "the repair does not stop the run";
        EXPECT_FALSE(claimPatchRun()) << "a second run cannot start meanwhile";
        server.release();
        run.join();
    }

    EXPECT_FALSE(patchRunning.load());
    EXPECT_EQ(PatchProgress.phase.load(), Complete);
    ASSERT_FALSE(browser.view.navigations.empty());
    EXPECT_NE(browser.view.navigations.back().find(u"/patcher/"), std::u16string::npos);
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "token"), "0ddba11");
    // Recorded by the repair's run, once the files the repair deleted are back.
    EXPECT_EQ(IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version"),
              made.incVersion);
    for (const auto& file : made.currentFiles)
        EXPECT_TRUE(fs::exists(root / "Astrovance" / file.path)) << file.path;
    const auto log = logMessages();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         "A repair was asked for during the run: the repair's own run follows"),
              1);
}

}  // namespace
