// What the patch tests share: a user folder with a fresh log, the installation root as working
// folder, a download server with a folder of its own below "/u", the run's state at rest.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "core/text.h"
#include "core/user_paths.h"
#include "integrity/checksum.h"
#include "integrity/exclusions.h"
#include "integrity/scan.h"
#include "patch/patch_run.h"
#include "patch/patch_thread.h"
#include "patch/updates.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;

class PatchTest : public testing::Test {
protected:
    TempDir dir;
    // Two levels down, so that "../.." from the game folder still lies inside the test's folder.
    Installation installation{dir.path() / "outer" / "install"};
    const fs::path root = installation.folder, serverFolder = dir.path() / "server";
    WorkingFolder inRoot{root};
    HttpServer server;

    PatchTest() {
        useUserFolder(dir);
        server.serveFolder("/u", serverFolder);
        resetProgress();
        lastAppliedVersion.clear();
        patchRunning = false;
        scannedFiles.clear();
    }
    static void resetProgress() {
        PatchProgress.overallProgress = PatchProgress.fileProgress = 0;
        PatchProgress.phase = Idle;
        PatchProgress.step = PatchProgress.stepCount = 0;
    }
    void setClientVersion(const std::string& version) {
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", version);
    }
    std::string clientVersion() const {
        return IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version");
    }
    void serve(const std::string& relative, const std::string& content) {
        writeFile(serverFolder / toPath(relative), content);
    }
    fs::path gameFile(const std::string& relative) const {
        return root / "Astrovance" / toPath(relative);
    }
    void install(const std::string& relative, const std::string& content) {
        installation.add("Astrovance/" + relative, content);
    }
    static void scan() { hashExistingFiles(installationRoot, excludedCount, scanLock); }
    static std::vector<std::string> logged(const std::string& prefix) {
        std::vector<std::string> found;
        for (const auto& message : logMessages())
            if (message.starts_with(prefix)) found.push_back(message);
        return found;
    }
};
