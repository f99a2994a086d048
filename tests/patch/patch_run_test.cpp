// The version file, the scripts that frame each update, and the run's decisions seen from outside:
// what the server is asked for, what the log and the client settings say. Updates of a third type
// apply nothing but their scripts, so most runs need no files.
#include <gtest/gtest.h>

#include <thread>

#include "integrity/signature.h"
#include "patch/patch_script.h"
#include "patch/update_signatures.h"
#include "patch/version_file.h"
#include "tests/patch/patch_fixture.h"
#include "tests/support/links.h"

namespace {

TEST(ReadVersionFile, ReadsTheSectionsAndKeepsUpdatesFromTheLastFullArchiveOn) {
    const std::pair<const char*, const char*> cases[] = {
        // Comments, CR LF, blanks around "=" and ",", lines without comma or "=", other sections.
        // The full 1.10 drops 1.9 listed before it; 1.2 after it stays and sorts after 1.10.
        {"; comment\r\n# comment\r\n[CurrentVersion]\r\nVersion = 1.10\r\n[Launcher]\r\n"
         "Version=0.0.3\r\n[Updates]\r\n1.9 = inc, /updates/1.9/hashes.ini\r\n"
         "1.10=full,/updates/1.10/ORV.zip\r\n1.2 = inc , /updates/1.2/hashes.ini \r\n"
         "1.3 = inc without comma\r\nno pair here\r\n[Other]\r\n1.5 = inc, /elsewhere\r\n",
         "1.10 | 0.0.3 | 1.10 full /updates/1.10/ORV.zip; 1.2 inc /updates/1.2/hashes.ini;"},
        // Updates listed before the current version count only from a full archive on.
        {"[Updates]\n1.1 = inc, /a\n[CurrentVersion]\nVersion = 1.2\n", "1.2 |  |"},
        // Bytes compare unsigned: above 0x7F sorts after every ASCII byte.
        {"[CurrentVersion]\nVersion = 1.\xC3\xA9\n[Updates]\n1.\xC3\xA9 = inc, /e\n1.z = inc, /z\n",
         "1.\xC3\xA9 |  | 1.z inc /z; 1.\xC3\xA9 inc /e;"},
    };
    for (const auto& [text, expected] : cases) {
        const VersionInfo info = readVersionFile(text);
        std::string listed = info.currentVersion + " | " + info.launcherVersion + " |";
        for (const auto& update : info.updates)
            listed += " " + update.version + " " + update.type + " " + update.path + ";";
        EXPECT_EQ(listed, expected) << text;
    }
}

class PatchRunTest : public PatchTest {
protected:
    void serveVersionFile(const std::string& current, const std::string& updates,
                          Delivery delivery = Delivery::Whole) {
        server.script(
            "/version.ini",
            {answer(200, "[CurrentVersion]\nVersion = " + current + "\n[Updates]\n" + updates,
                    delivery)});
    }
    // Scripts that leave a trace: the pre script deletes a marker file, the post script another.
    void serveScripts(const std::string& version) {
        for (const std::string script : {"Pre", "Post"}) {
            writeFile(root / (script + " " + version), "x");
            server.script("/u/" + version + "/" + script + "Patch.ini",
                          {answer(200, "DELETE = " + script + " " + version + "\n")});
        }
    }
    bool scriptsRan(const std::string& version) const {
        return !fs::exists(root / ("Pre " + version)) && !fs::exists(root / ("Post " + version));
    }
    // The joined path as the log shows it.
    static std::string joined(const std::string& relative) {
        return (fs::current_path() / fs::path(relative).make_preferred()).string();
    }
};

// "DELETE = " counts wherever it stands in a line, with its blank and its case; the path is
// trimmed; what cannot be deleted (a folder, a file already gone) is logged, and so is each file
// deleted. Regression: paths out of the installation deleted players' files there. "RUN = " may
// open what it likes, and the log names it.
TEST_F(PatchRunTest, ScriptDeletesOnlyInsideAndLogsWhatItDoesAndCannot) {
    for (const char* name : {"old.dat", "second.dat", "kept.dat", "lower.dat"})
        writeFile(root / "Data" / name, "x");
    const fs::path outside = dir.path() / "outside.txt";
    writeFile(outside, "x");
    server.script("/u/1.1/PrePatch.ini",
                  {answer(200,
                          ";DELETE = Data\\old.dat\r\n  DELETE =   Data/second.dat  \r\n"
                          "DELETE= Data\\kept.dat\r\ndelete = Data\\lower.dat\r\nDELETE = " +
                              outside.string() +
                              "\r\nDELETE = ..\\..\\outside.txt\r\nDELETE = C:x\r\n"
                              "DELETE = \\\\host\\share\\x\r\nDELETE = Data\\aux.txt\r\n"
                              "DELETE = Data\r\nDELETE = Data\\x\r\nRUN = Tools\\none.exe\r\n")});
    EXPECT_TRUE(runPatchScript(true, server.url("/u/1.1/hashes.ini")));
    EXPECT_EQ(filesBelow(root), (std::vector<std::string>{"Data/kept.dat", "Data/lower.dat"}));
    EXPECT_TRUE(fs::exists(outside));
    EXPECT_EQ(logged("Error deleting the file:"),
              (std::vector<std::string>{"Error deleting the file:" + joined("Data"),
                                        "Error deleting the file:" + joined("Data/x")}));
    EXPECT_EQ(logged("Deleted: "),
              (std::vector<std::string>{"Deleted: " + joined("Data/old.dat"),
                                        "Deleted: " + joined("Data/second.dat")}));
    EXPECT_EQ(logged("Refused to delete outside the installation: ").size(), 5u);
    EXPECT_EQ(logged("Opening: "),
              std::vector<std::string>{"Opening: " + joined("Tools/none.exe")});

    // A game folder that a link moved elsewhere is still the game folder; a link below it that
    // leads out of it is no way out.
    SKIP_WITHOUT_SYMBOLIC_LINKS();
    writeFile(dir.path() / "moved/old.dat", "x");
    writeFile(dir.path() / "elsewhere/kept.dat", "x");
    fs::remove_all(root / "Astrovance");
    ASSERT_TRUE(makeFolderLink(dir.path() / "moved", root / "Astrovance"));
    ASSERT_TRUE(makeFolderLink(dir.path() / "elsewhere", dir.path() / "moved/out"));
    server.script(
        "/u/1.2/PrePatch.ini",
        {answer(200, "DELETE = Astrovance\\old.dat\nDELETE = Astrovance\\out\\kept.dat\n")});
    EXPECT_TRUE(runPatchScript(true, server.url("/u/1.2/hashes.ini")));
    EXPECT_FALSE(fs::exists(dir.path() / "moved/old.dat"));
    EXPECT_TRUE(fs::exists(dir.path() / "elsewhere/kept.dat"));
}

TEST_F(PatchRunTest, ClientAboveServerInByteOrderStartsOverAndAppliesTheList) {
    // 1.10 sorts below 1.9: the server does not know 1.9 as lower, so everything up to 1.10 runs,
    // in version order (1.2 sorts above 1.10). Skipped updates still count as steps.
    setClientVersion("1.9");
    serveVersionFile("1.10",
                     "1.9 = other, /u/1.9/x.ini\n1.1 = other, /u/1.1/x.ini\n"
                     "1.2 = other, /u/1.2/x.ini\n1.10 = other, /u/1.10/x.ini\n");
    for (const char* version : {"1.1", "1.10", "1.2", "1.9"}) serveScripts(version);

    patchRunMain(server.url());

    EXPECT_EQ(
        server.requestLog(),
        (std::vector<std::string>{"/version.ini", "/u/1.1/PrePatch.ini", "/u/1.1/PostPatch.ini",
                                  "/u/1.10/PrePatch.ini", "/u/1.10/PostPatch.ini"}));
    EXPECT_EQ(PatchProgress.step + PatchProgress.stepCount, 8);
    EXPECT_EQ(clientVersion(), "1.10");
}

TEST_F(PatchRunTest, ClientVersionDecidesTheRunAndOnlyWhatTheRunAppliedIsRecorded) {
    serveVersionFile("1.5", "1.2 = other, /u/1.2/x.ini\n1.1 = other, /u/1.1/x.ini\n");
    serveScripts("1.1");
    serveScripts("1.2");
    // Current: no scan and no script.
    setClientVersion("1.5");
    patchRunMain(server.url());
    EXPECT_EQ(server.requestLog(), std::vector<std::string>{"/version.ini"});

    setClientVersion("1.0");
    patchRunMain(server.url());
    EXPECT_TRUE(scriptsRan("1.1") && scriptsRan("1.2"));
    ASSERT_EQ(clientVersion(), "1.2") << "the highest update listed, not the server's version";
    ASSERT_EQ(logged("Total number of data: ").size(), 2u) << "a scan per update, none if current";

    // An update that did not complete is not recorded: the run stops there and records the last
    // update done. Its post-patch script, which may take away what the update replaced, waits as
    // well. The next run, with the server back, completes it.
    setClientVersion("1.0");
    serveVersionFile("1.5", "1.2 = inc, /u/1.2/files.ini\n1.1 = other, /u/1.1/x.ini\n");
    server.script("/u/1.2/files.ini", {answer(503)});
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "1.1");
    EXPECT_EQ(PatchProgress.outcome, Incomplete);
    EXPECT_EQ(server.requests("/u/1.2/PostPatch.ini"), 1) << "only from the run before";
    server.script("/u/1.2/files.ini", {answer(200)});
    server.script("/u/1.2/PrePatch.ini", {answer(503)});  // a script that fails to arrive is no
    patchRunMain(server.url());                           // missing script: the update waits
    EXPECT_EQ(clientVersion(), "1.1");
    serveScripts("1.2");
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "1.2");
    EXPECT_EQ(PatchProgress.outcome, Applied);

    // No version file (the server is down): nothing is checked or recorded, and the page moves on.
    // Regression (the repair-time version write): a run that applied nothing wrote back the version
    // an earlier run of the process had applied, so an installation a repair reset passed as
    // current.
    setClientVersion("0.0.0");
    PatchProgress.overallProgress = 0;
    server.script("/version.ini", {answer(503)});
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "0.0.0");
    EXPECT_EQ(PatchProgress.outcome, Unchecked);
    EXPECT_EQ(PatchProgress.overallProgress, 100);

    // Regression: a server that answers with a version file naming no version was reported as
    // unreachable.
    server.script("/version.ini", {answer(200, "[Launcher]\nv=0.0.2\n")});
    patchRunMain(server.url());
    EXPECT_EQ(PatchProgress.outcome, NoServerVersion);
    EXPECT_EQ(clientVersion(), "0.0.0");

    serveVersionFile("1.1", "1.2 = other, /u/1.2/x.ini\n");
    patchRunMain(server.url());
    EXPECT_EQ(clientVersion(), "0.0.0") << "the only update lies beyond the current version";

    // A repair's run reads every file, also those whose stamps vouch for them: damage that leaves
    // a stamp alone (here records that lie) shows only then.
    install("a.dat", "alpha");
    std::this_thread::sleep_for(fineClockWindow + std::chrono::milliseconds(50));
    scan();
    for (ScannedFile& file : scannedFiles) file.checksum = ~file.checksum;
    ++PatchProgress.repairs;
    patchRunMain(server.url());
    EXPECT_NE(readTextFile(hashesPath.get()).find(installation.manifestLines()[0]),
              std::string::npos);
}

// Built with a key: a version file or script that its signature does not cover counts as not
// arrived, and a version file signed before the newest one accepted is a replay.
TEST_F(PatchRunTest, SignedRunTakesOnlyWhatTheKeySignedAndNoOlderVersionFile) {
    const SecretKey key = makeSecretKey();
    overrideUpdatePublicKey(writePublicKey(publicKeyOf(key)));
    struct KeyReset {
        ~KeyReset() { overrideUpdatePublicKey(""); }
    } keyReset;
    auto serveSigned = [&](const std::string& path, const std::string& body, std::uint64_t time,
                           const std::string& served) {
        server.script(path, {answer(200, served.empty() ? body : served)});
        server.script(path + ".minisig",
                      {answer(200, signMessage(key, body, defaultTrustedComment(time, "f")))});
    };
    const std::string versionFile =
        "[CurrentVersion]\nVersion = 1.1\n[Updates]\n"
        "1.1 = other, /u/1.1/x.ini\n";
    const struct {
        const char* what;
        std::uint64_t signedAt;
        const char* versionServed;  // other than what was signed, when not empty
        const char* scriptServed;
        RunOutcome outcome;
        const char* version;  // recorded afterwards
        bool refused;
    } rows[] = {
        {"signed", 200, "", "", Applied, "1.1", false},
        {"version file changed", 200, "[CurrentVersion]\nVersion = 1.2\n", "", Unchecked, "0.0.0",
         true},
        {"older version file", 100, "", "", Unchecked, "0.0.0", true},
        {"script changed", 300, "", "DELETE = Launcher.exe\n", Incomplete, "0.0.0", true},
        {"same time again", 300, "", "", Applied, "1.1", false},
    };
    for (const auto& row : rows) {
        setClientVersion("0.0.0");
        serveSigned("/version.ini", versionFile, row.signedAt, row.versionServed);
        serveScripts("1.1");
        const std::string pre = "DELETE = Pre 1.1\n";
        serveSigned("/u/1.1/PrePatch.ini", pre, 1, row.scriptServed);
        serveSigned("/u/1.1/PostPatch.ini", "DELETE = Post 1.1\n", 1, "");
        const std::size_t refusals = logged("Signature refused for http").size();
        patchRunMain(server.url());
        EXPECT_EQ(PatchProgress.outcome, row.outcome) << row.what;
        EXPECT_EQ(clientVersion(), row.version) << row.what;
        EXPECT_EQ(scriptsRan("1.1"), row.outcome == Applied) << row.what;
        EXPECT_EQ(logged("Signature refused for http").size() - refusals, row.refused ? 1u : 0u)
            << row.what;
    }
}

// Regression (the patch-run race): a second patch thread started while a run is in progress ends
// at once and touches nothing.
TEST_F(PatchRunTest, SecondPatchThreadEndsAtOnceWhileARunIsInProgress) {
    setClientVersion("1.0");
    serveVersionFile("1.1", "1.1 = other, /u/1.1/x.ini\n", Delivery::Pause);
    serveScripts("1.1");
    std::thread first([&] { patchThreadFrom(server.url()); });
    for (int wait = 0; wait < 1000 && server.requests("/version.ini") == 0; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(server.requests("/version.ini"), 1);
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
// Regressions: an error raised inside the run (here the current-folder query of the scripts, in a
// working folder that was deleted) ended the launcher instead of the run; then it ended the run as
// "Update Complete", with the bars where they stood.
TEST_F(PatchRunTest, ErrorInsideTheRunEndsTheRunNotTheProcess) {
    setClientVersion("1.0");
    PatchProgress.outcome = Applied;
    serveVersionFile("1.1", "1.1 = other, /u/1.1/x.ini\n");
    serveScripts("1.1");
    const fs::path doomed = dir.path() / "doomed";
    fs::create_directories(doomed);
    {
        WorkingFolder inDoomed(doomed);
        fs::remove(doomed);
        patchThreadFrom(server.url());
    }
    EXPECT_EQ(PatchProgress.phase, Complete);
    EXPECT_FALSE(patchRunning);
    EXPECT_EQ(logged("Patch run failed: ").size(), 1u);
    EXPECT_EQ(clientVersion(), "1.0") << "nothing was applied";
    EXPECT_EQ(PatchProgress.outcome, Incomplete);
    EXPECT_EQ(PatchProgress.overallProgress + PatchProgress.fileProgress, 200);
}
#endif

}  // namespace
