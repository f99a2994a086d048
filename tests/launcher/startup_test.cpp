#include "launcher/startup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "core/log.h"
#include "launcher/version.h"
#include "net/endpoints.h"
#include "tests/support/http_server.h"
#include "tests/support/temp_dir.h"

#ifndef _WIN32
#include <glib.h>

#include "platform/posix/gtk_thread.h"
#endif

namespace {

TEST(CommandLine, SplitsAtAnyRunOfWhiteSpaceAndOnlyTheExactWordSelectsHashing) {
    EXPECT_EQ(splitCommandWords(""), std::vector<std::string>{});
    EXPECT_EQ(splitCommandWords(" \t "), std::vector<std::string>{});
    EXPECT_EQ(splitCommandWords("  a\t-h \n b "), (std::vector<std::string>{"a", "-h", "b"}));
    EXPECT_TRUE(hasHashFlag(splitCommandWords("-h")));
    EXPECT_TRUE(hasHashFlag(splitCommandWords("first -h")));
    for (const char* line : {"", "-H", "/h", "--h", "-hh", "-help", "x-h", "\"-h\""})
        EXPECT_FALSE(hasHashFlag(splitCommandWords(line))) << line;
}

#ifndef _WIN32
// Where the start-up puts the user files, if anywhere. Without any documents folder the launcher
// ends at once with status 0 and writes nothing. The home folder's name is bytes: UTF-8 stays
// UTF-8 under LC_ALL=C, and a name that is not UTF-8 is used as it is.
TEST(Startup, UserFilesGoUnderTheHomeFolderByteForByteInAnyLocale) {
    struct Row {
        const char* what;
        const char* home;  // inside the test folder; nullptr: no HOME at all
        const char* locale;
    };
    const Row rows[] = {
        {"no documents folder", nullptr, "C.UTF-8"},
        {"UTF-8 home under LC_ALL=C", "Jos\xC3\xA9", "C"},
        {"UTF-8 home in a UTF-8 locale", "J\xC3\xBCrgen \xE5\xB1\xB1\xE7\x94\xB0", "C.UTF-8"},
        {"Latin-1 home in a UTF-8 locale", "Jos\xE9", "C.UTF-8"},
    };
    HttpServer server;
    server.script(
        "/version.ini",
        {answer(200, "[CurrentVersion]\nv=1.0\n[Launcher]\nv=" + LauncherVersion + "\n")});
    const std::string savedServers[] = {downloadServerUrl, webServiceUrl};
    overrideEndpoints(server.url(), server.url());
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const std::string savedLocale = std::setlocale(LC_ALL, nullptr);
    for (const Row& row : rows) {
        TempDir dir;
        const WorkingFolder inDir(dir.path());
        const std::string home = row.home ? dir.file(row.home) : "";
        if (row.home) {
            std::filesystem::create_directory(home);
            setenv("HOME", home.c_str(), 1);
        } else {
            unsetenv("HOME");
        }
        unsetenv("XDG_DOCUMENTS_DIR");
        unsetenv("XDG_CONFIG_HOME");
        logPath.set("");  // an earlier case may have opened one
        ASSERT_NE(std::setlocale(LC_ALL, row.locale), nullptr) << row.locale;
        const bool goesOn = startLauncher("");
        std::setlocale(LC_ALL, savedLocale.c_str());
        if (!row.home) {
            EXPECT_FALSE(goesOn) << row.what;
            EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << row.what;
            EXPECT_EQ(logPath.get(), "") << row.what << ": no log was opened";
            continue;
        }
        const std::string folder = home + "/Documents/My Games/ORV/";
        EXPECT_TRUE(goesOn) << row.what;
        EXPECT_EQ(logPath.get().rfind(folder + "Logs/Log_", 0), 0u)
            << row.what << ": " << logPath.get();
        EXPECT_NE(readFile(logPath.get()).find("Launcher started - " + LauncherVersion),
                  std::string::npos)
            << row.what;
        EXPECT_NE(readFile(folder + "ClientSettings.ini").find("token="), std::string::npos)
            << row.what;
        std::vector<std::string> made;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            made.push_back(entry.path().filename().string());
        EXPECT_EQ(made, std::vector<std::string>{row.home})
            << row.what << ": nothing beside the home";
    }
    logPath.set("");
    overrideEndpoints(savedServers[0], savedServers[1]);
    if (!savedHome.empty()) setenv("HOME", savedHome.c_str(), 1);
}

// Boxes are raised from any thread, pool workers included, but GTK lives on the thread that runs
// its main loop: the box goes there and the raiser waits for its answer. Without a loop the box
// is shown where it was raised; one queued on a loop that ends without reaching it is shown there
// too, and a box raised on the loop's own thread is shown at once. Each box is shown once.
TEST(MessageBoxThread, ShownWhereTheMainLoopRunsExactlyOnce) {
    enum class Loop { None, Running, EndsUnattended };
    struct Row {
        const char* what;
        Loop loop;
        int raisers;
        int boxMilliseconds;
        bool raisedOnLoopThread;
    };
    const Row rows[] = {
        {"no main loop", Loop::None, 1, 0, false},
        {"loop on another thread", Loop::Running, 1, 0, false},
        {"two raisers at once", Loop::Running, 2, 50, false},
        {"box open through several waits", Loop::Running, 1, 350, false},
        {"raised on the loop's thread", Loop::Running, 1, 0, true},
        {"loop ends with the box queued", Loop::EndsUnattended, 1, 0, false},
    };
    struct Shown {
        std::mutex lock;
        std::vector<std::thread::id> on;
        int milliseconds = 0;
    };
    const auto box = [](void* data) -> int {
        auto& shown = *static_cast<Shown*>(data);
        std::this_thread::sleep_for(std::chrono::milliseconds(shown.milliseconds));
        const std::lock_guard lock(shown.lock);
        shown.on.push_back(std::this_thread::get_id());
        return static_cast<int>(shown.on.size());
    };
    GMainContext* const context = g_main_context_default();
    for (const Row& row : rows) {
        Shown shown;
        shown.milliseconds = row.boxMilliseconds;
        GMainLoop* loop = g_main_loop_new(context, FALSE);
        std::promise<std::thread::id> loopStarted;
        std::thread looper;
        if (row.loop == Loop::Running) {
            looper = std::thread([&] {
                g_idle_add(
                    [](gpointer started) -> gboolean {
                        static_cast<std::promise<std::thread::id>*>(started)->set_value(
                            std::this_thread::get_id());
                        return G_SOURCE_REMOVE;
                    },
                    &loopStarted);
                g_main_loop_run(loop);
            });
        } else if (row.loop == Loop::EndsUnattended) {
            // Owns the context like a running loop, then lets go of it without dispatching.
            looper = std::thread([&] {
                const bool owned = g_main_context_acquire(context);
                EXPECT_TRUE(owned);
                loopStarted.set_value(std::this_thread::get_id());
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (!g_main_context_pending(context) &&
                       std::chrono::steady_clock::now() < deadline)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (owned) g_main_context_release(context);
            });
        } else {
            loopStarted.set_value(std::thread::id());
        }
        const std::thread::id loopThread = loopStarted.get_future().get();

        std::vector<int> answers(static_cast<std::size_t>(row.raisers), 0);
        std::vector<std::thread::id> raisedOn(answers.size());
        if (row.raisedOnLoopThread) {
            struct Raise {
                Shown* shown;
                int (*box)(void*);
                int answer = 0;
                std::promise<void> done;
            } raise{&shown, box, 0, {}};
            g_main_context_invoke(
                context,
                [](gpointer data) -> gboolean {
                    auto& raise = *static_cast<Raise*>(data);
                    raise.answer = platform::runOnGtkThread(raise.box, raise.shown);
                    raise.done.set_value();
                    return G_SOURCE_REMOVE;
                },
                &raise);
            raise.done.get_future().wait();
            answers[0] = raise.answer;
            raisedOn[0] = loopThread;
        } else {
            std::vector<std::thread> raisers;
            for (std::size_t i = 0; i < answers.size(); ++i) {
                raisers.emplace_back([&, i] {
                    raisedOn[i] = std::this_thread::get_id();
                    answers[i] = platform::runOnGtkThread(box, &shown);
                });
            }
            for (auto& raiser : raisers) raiser.join();
        }
        if (row.loop == Loop::Running) g_main_loop_quit(loop);
        if (looper.joinable()) looper.join();
        g_main_loop_unref(loop);
        // A box taken back from the ended loop leaves its queued call behind: it must do nothing.
        while (g_main_context_iteration(context, FALSE)) {
        }

        ASSERT_EQ(shown.on.size(), answers.size()) << row.what;
        std::sort(answers.begin(), answers.end());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            EXPECT_EQ(answers[i], static_cast<int>(i) + 1)
                << row.what << ": each raiser its answer";
            const bool onLoop = shown.on[i] == loopThread;
            if (row.loop == Loop::Running)
                EXPECT_TRUE(onLoop) << row.what;
            else
                EXPECT_EQ(shown.on[i], raisedOn[0]) << row.what << ": shown where it was raised";
        }
    }
}
#endif

}  // namespace
