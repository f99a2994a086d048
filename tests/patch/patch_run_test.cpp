// The run's decisions, seen from outside: what the server is asked for, what the log and the
// client settings say, and the progress record. Updates of a third type apply nothing but their
// scripts, so these tests need no files to update.
#include <gtest/gtest.h>

#include <thread>

#include "tests/patch/patch_fixture.h"

namespace {

class PatchRunTest : public PatchTest {
protected:
    void serveVersionFile(const std::string& current, const std::string& updates) {
        server.script("/version.ini",
                      {answer(200, "[CurrentVersion]\nVersion = " + current + "\n[Updates]\n" +
                                       updates)});
    }
    // Scripts that leave a trace: the pre script deletes a marker file, the post script another.
    void serveScripts(const std::string& version) {
        for (const std::string script : {"pre", "post"}) {
            writeFile(root / (script + " " + version), "x");
            server.script("/u/" + version + (script == "pre" ? "/PrePatch.ini" : "/PostPatch.ini"),
                          {answer(200, "DELETE = " + script + " " + version + "\n")});
        }
    }
    bool scriptsRan(const std::string& version) const {
        return !fs::exists(root / ("pre " + version)) && !fs::exists(root / ("post " + version));
    }
    // Scans write this line once each.
    static int scanCount() { return static_cast<int>(logged("Total number of data: ").size()); }
};

TEST_F(PatchRunTest, ClientAboveServerInByteOrderStartsOverAndAppliesTheList) {
    // 1.10 sorts below 1.9: the server does not know 1.9 as lower, so everything up to 1.10 runs.
    setClientVersion("1.9");
    serveVersionFile("1.10",
                     "1.9 = other, /u/1.9/x.ini\n1.1 = other, /u/1.1/x.ini\n"
                     "1.2 = other, /u/1.2/x.ini\n1.10 = other, /u/1.10/x.ini\n");
    for (const char* version : {"1.1", "1.10", "1.2", "1.9"}) serveScripts(version);

    patchRunMain(server.url());

    EXPECT_TRUE(scriptsRan("1.1"));
    EXPECT_TRUE(scriptsRan("1.10"));
    // Scripts frame each update in version order; 1.2 sorts above 1.10.
    EXPECT_EQ(server.requestLog(),
              (std::vector<std::string>{"/version.ini", "/u/1.1/PrePatch.ini",
                                        "/u/1.1/PostPatch.ini", "/u/1.10/PrePatch.ini",
                                        "/u/1.10/PostPatch.ini"}))
        << "a third type fetches no manifest";
    EXPECT_EQ(PatchProgress.stepCount, 4);
    EXPECT_EQ(PatchProgress.step, 4) << "skipped updates still count as steps";
    EXPECT_EQ(scanCount(), 4) << "one scan per listed update, skipped ones included";
    EXPECT_TRUE(fs::exists(hashesPath.get()));
    EXPECT_EQ(clientVersion(), "1.10");
    EXPECT_EQ(lastAppliedVersion, "1.10");
}

TEST_F(PatchRunTest, ClientVersionDecidesTheRunAndOnlyWhatTheRunAppliedIsRecorded) {
    serveVersionFile("1.5", "1.2 = other, /u/1.2/x.ini\n1.1 = other, /u/1.1/x.ini\n");
    serveScripts("1.1");
    serveScripts("1.2");
    // Current: no scan and no script, and the page's steps stay as they were.
    setClientVersion("1.5");
    PatchProgress.step = 3;
    PatchProgress.stepCount = 5;
    patchRunMain(server.url());
    EXPECT_EQ(PatchProgress.fileProgress, 100);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(PatchProgress.step, 3);
    EXPECT_EQ(PatchProgress.stepCount, 5);
    EXPECT_EQ(server.requestLog(), std::vector<std::string>{"/version.ini"});
    EXPECT_EQ(clientVersion(), "1.5");

    setClientVersion("1.0");
    patchRunMain(server.url());
    ASSERT_EQ(clientVersion(), "1.2") << "the highest update listed, not the server's version";
    ASSERT_EQ(scanCount(), 2) << "one per update, none while current";

    // An update that did not complete is not recorded: the run stops there, records the last
    // update done and says so. Its post-patch script, which may take away what the update
    // replaced, waits as well. The next run, with the server back, completes it.
    setClientVersion("1.0");
    serveVersionFile("1.5", "1.2 = inc, /u/1.2/files.ini\n1.1 = other, /u/1.1/x.ini\n");
    server.script("/u/1.2/files.ini", {answer(503)});
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "1.1");
    EXPECT_EQ(PatchProgress.outcome, Incomplete);
    EXPECT_TRUE(logHas("Update 1.2 is incomplete and will be tried again at the next start"));
    EXPECT_EQ(server.requests("/u/1.2/PostPatch.ini"), 1) << "only from the run before";
    server.script("/u/1.2/files.ini", {answer(200)});
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "1.2");
    EXPECT_EQ(PatchProgress.outcome, Applied);
    EXPECT_EQ(server.requests("/u/1.2/PostPatch.ini"), 2);
    // A script that the server fails to deliver (not one it does not have) stops it just so.
    setClientVersion("1.0");
    server.script("/u/1.2/PrePatch.ini", {answer(503)});
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "1.1");
    EXPECT_EQ(server.requests("/u/1.2/files.ini"), 1) << "not applied without its script";
    ASSERT_EQ(scanCount(), 8);

    // No version file (the server is down): nothing is checked or recorded, and the page moves on.
    // Regression: a run that applied nothing wrote back the version that an earlier run of the
    // process had applied, so an installation that a repair reset passed as current.
    setClientVersion("0.0.0");
    PatchProgress.overallProgress = 0;
    server.script("/version.ini", {answer(503)});
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "0.0.0");
    EXPECT_EQ(PatchProgress.outcome, Unchecked);
    EXPECT_EQ(PatchProgress.overallProgress, 100);
    EXPECT_EQ(scanCount(), 8) << "no scan without a version file";

    serveVersionFile("1.1", "1.2 = other, /u/1.2/x.ini\n");
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "0.0.0") << "the only update lies beyond the current version";
}

TEST_F(PatchRunTest, SecondPatchThreadEndsAtOnceWhileARunIsInProgress) {
    setClientVersion("1.0");
    server.script("/version.ini",
                  {answer(200, "[CurrentVersion]\nVersion = 1.1\n[Updates]\n1.1 = other, /u/1.1/x.ini\n",
                          Delivery::Pause)});
    serveScripts("1.1");

    std::thread first([&] { patchThreadFrom(server.url()); });
    for (int wait = 0; wait < 1000 && server.requests("/version.ini") == 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(server.requests("/version.ini"), 1);
    EXPECT_TRUE(patchRunning);
    PatchProgress.phase = Scanning;

    patchThreadFrom(server.url());  // returns at once, or this test hangs until release()
    EXPECT_EQ(PatchProgress.phase, Scanning);
    EXPECT_TRUE(patchRunning);
    EXPECT_EQ(server.requests("/version.ini"), 1);

    server.release();
    first.join();
    EXPECT_EQ(PatchProgress.phase, Complete);
    EXPECT_FALSE(patchRunning);
    EXPECT_EQ(clientVersion(), "1.1");
}

#ifndef _WIN32
// Regression: an error raised inside the run (here the current-folder query of the scripts, in a
// working folder that was deleted) ended the launcher instead of the run.
TEST_F(PatchRunTest, ErrorInsideTheRunEndsTheRunNotTheProcess) {
    setClientVersion("1.0");
    serveVersionFile("1.1", "1.1 = other, /u/1.1/x.ini\n");
    serveScripts("1.1");
    const fs::path doomed = made(dir.path() / "doomed");
    {
        WorkingFolder inDoomed(doomed);
        fs::remove(doomed);
        PatchProgress.phase = Patching;
        patchThreadFrom(server.url());
    }
    EXPECT_EQ(PatchProgress.phase, Complete);
    EXPECT_FALSE(patchRunning);
    EXPECT_EQ(logged("Patch run failed: ").size(), 1u);
    EXPECT_EQ(clientVersion(), "1.0") << "nothing was applied";
    EXPECT_EQ(server.requests("/u/1.1/PrePatch.ini"), 0);
}
#endif

}  // namespace
