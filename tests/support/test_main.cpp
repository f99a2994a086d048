#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "net/retry_pause.h"
#include "platform/platform.h"

namespace {

int processId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<int>(getpid());
#endif
}

int testProgram = 0;

// Launcher paths that end the process (ten failed downloads, the page's close command) would end
// the test program in the middle of its run with status 0, which reads as a pass. Death tests
// and forked children end that way on purpose; they run in other processes.
void failIfTheTestProgramEnds(int status) {
    if (processId() != testProgram) return;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "The code under test ended the test program (status %d) in %s.%s\n",
                 status, test ? test->test_suite_name() : "?", test ? test->name() : "?");
    std::fflush(stderr);
    std::_Exit(1);
}

bool isDeathTestChild(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strstr(argv[i], "gtest_internal_run_death_test")) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // Narrow text in the tests is UTF-8, as on a player's Linux desktop.
    std::setlocale(LC_ALL, "C.UTF-8");
    // Unit tests never wait for a person: message boxes stay headless.
#ifdef _WIN32
    platform::messageBoxAnswerer = [](const std::string& text, const std::string& caption,
                                      platform::MessageKind kind) {
        // Said on standard error as the Linux build says it without a display, and answered as
        // a dismissed box.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        std::fflush(stderr);
        return kind == platform::MessageKind::Question ? platform::MessageAnswer::No
                                                       : platform::MessageAnswer::Ok;
    };
#else
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
#endif
    // Ten failed attempts of a download take milliseconds here, not a minute; the growth of the
    // pauses is still there to be measured.
    setRetryPauseUnit(std::chrono::milliseconds(1));
    if (!isDeathTestChild(argc, argv)) {
        testProgram = processId();
        platform::processEndObserver = failIfTheTestProgramEnds;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
