#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "net/retry_pause.h"
#include "platform/platform.h"

namespace {

int testProgram = 0;

// A launcher path that ends the process (ten failed downloads, the page's close command) would end
// the test program with status 0, which reads as a pass. Death tests end other processes.
void failIfTheTestProgramEnds(int status) {
    if (static_cast<int>(getpid()) != testProgram) return;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "The code under test ended the test program (status %d) in %s.%s\n",
                 status, test ? test->test_suite_name() : "?", test ? test->name() : "?");
    std::fflush(stderr);
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    // Narrow text is UTF-8, as on a player's Linux desktop; message boxes never wait for a person.
    std::setlocale(LC_ALL, "C.UTF-8");
#ifdef _WIN32
    platform::messageBoxAnswerer = [](const std::string& text, const std::string& caption,
                                      platform::MessageKind kind) {
        // On standard error as the Linux build says it without a display, answered as dismissed.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        std::fflush(stderr);
        return kind == platform::MessageKind::Question ? platform::MessageAnswer::No
                                                       : platform::MessageAnswer::Ok;
    };
#else
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
#endif
    // Ten failed attempts of a download take milliseconds, with the pauses still growing.
    setRetryPauseUnit(std::chrono::milliseconds(1));
    bool deathTestChild = false;
    for (int i = 1; i < argc; ++i)
        deathTestChild = deathTestChild || std::strstr(argv[i], "gtest_internal_run_death_test");
    if (!deathTestChild) {
        testProgram = static_cast<int>(getpid());
        platform::processEndObserver = failIfTheTestProgramEnds;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
