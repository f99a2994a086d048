// What the patch tests share: a user folder with a fresh log, an installation root that is the
// working folder while the test runs, a download server, and a progress record back at rest.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/ini_document.h"
#include "core/patch_progress.h"
#include "core/user_paths.h"
#include "patch/patch_run.h"
#include "patch/patch_thread.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

// Makes `folder` the working folder until destroyed.
class WorkingFolder {
public:
    explicit WorkingFolder(const std::filesystem::path& folder)
        : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~WorkingFolder() {
        std::error_code ignored;
        std::filesystem::current_path(saved_, ignored);
    }
    WorkingFolder(const WorkingFolder&) = delete;
    WorkingFolder& operator=(const WorkingFolder&) = delete;

private:
    std::filesystem::path saved_;
};

inline void resetProgress() {
    PatchProgress.overallProgress = 0;
    PatchProgress.fileProgress = 0;
    PatchProgress.phase = Idle;
    PatchProgress.step = 0;
    PatchProgress.stepCount = 0;
    PatchProgress.fileName.set(u"");
    PatchProgress.downloadName.set(u"");
}

class PatchTest : public testing::Test {
protected:
    TempDir dir;
    std::filesystem::path root = dir.path() / "Install";
    HttpServer server;

    PatchTest() {
        std::filesystem::create_directories(root);
        useUserFolder(dir);
        resetProgress();
        lastAppliedVersion.clear();
        patchRunning = false;
    }

    void setClientVersion(const std::string& version) {
        IniDocument::setValue(clientSettingsPath.get(), "CLIENT", "Version", version);
    }
    std::string clientVersion() const {
        return IniDocument::getValue(clientSettingsPath.get(), "CLIENT", "Version");
    }

    // Log messages that start with `prefix`.
    static std::vector<std::string> logged(const std::string& prefix) {
        std::vector<std::string> found;
        for (const auto& message : logMessages())
            if (message.rfind(prefix, 0) == 0) found.push_back(message);
        return found;
    }
    // Scans write this line once each.
    static int scanCount() { return static_cast<int>(logged("Total number of data: ").size()); }
};
