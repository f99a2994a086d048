// Regression (the patch-run race): a repair asked for while a run downloads resets the progress and
// sends the browser back to the patcher page; no second run starts meanwhile, the run records
// nothing, and the repair's own run follows and restores what the repair deleted.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "integrity/exclusions.h"
#include "integrity/scan.h"
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

TEST(Concurrency, RepairDuringPatchRun) {
    TempDir dir;
    useUserFolder(dir);
    const std::string settings = clientSettingsPath.get();
    testdata::InstallOptions options;
    options.installDir = dir.path() / "Install";
    options.serverDir = dir.path() / "Server";
    options.files = 4;
    options.sizeMb = 0.1;
    const auto made = testdata::makeInstall(options);
    writeFile(settings, "[CLIENT]\r\ntoken=0ddba11\r\nVersion=" + made.installedVersion + "\r\n");

    HttpServer server;
    server.serveFolder("", options.serverDir);
    // The first file of the inc update waits halfway until the repair is asked for.
    const std::string held = "/updates/1.1/" + made.incFiles.front();
    server.script(held,
                  {answer(200, readFile(options.serverDir / held.substr(1)), Delivery::Pause)});
    overrideEndpoints(server.url(), server.url());
    FakeBrowser browser;
    {
        const WorkingFolder inRoot(options.installDir);
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
    EXPECT_EQ(IniDocument::getValue(settings, "CLIENT", "token"), "0ddba11");
    // Recorded by the repair's run, once the files the repair deleted are back.
    EXPECT_EQ(IniDocument::getValue(settings, "CLIENT", "Version"), made.incVersion);
    for (const auto& file : made.currentFiles)
        EXPECT_TRUE(fs::exists(options.installDir / "Astrovance" / file.path)) << file.path;
}

// Regression: closing during a scan ended the process through static destructors that the scan's
// workers were still using: a crash now and then (a few in a hundred). Every close ends with 0.
TEST(Concurrency, CloseDuringAScanEndsWithStatusZero) {
    TempDir dir;
    useUserFolder(dir);
    Installation installation(dir.path() / "Install");
    for (int i = 0; i < 2000; ++i)
        installation.add("Astrovance/f" + std::to_string(i), std::to_string(i));
    const WorkingFolder inRoot(installation.folder);
    for (int attempt = 0; attempt < 150; ++attempt) {
        EXPECT_EXIT(
            {
                std::thread([] {
                    hashExistingFiles(installationRoot, excludedCount, scanLock);
                }).detach();
                std::this_thread::sleep_for(std::chrono::milliseconds(attempt % 8));
                onWebMessage(nullptr, u"close");
            },
            testing::ExitedWithCode(0), "")
            << attempt;
    }
}

}  // namespace
