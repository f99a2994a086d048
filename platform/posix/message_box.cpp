#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/locale_text.h"
#include "platform/posix/message_box_module.h"
#include "platform/posix/modules.h"

namespace platform {
namespace {

// The GTK box, loaded with the first box shown; nothing without a display or without the module
// (or GTK itself), which is said once on standard error.
ShowMessageBox boxModule() {
    static const ShowMessageBox show = []() -> ShowMessageBox {
        if (!displayNamed()) return nullptr;
        void* module = dlopen(besideProgram(messageBoxModuleFile).c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (!module) {
            std::fprintf(stderr, "%s\n", dlerror());
            return nullptr;
        }
        // Never closed: GTK cannot be unloaded.
        return reinterpret_cast<ShowMessageBox>(dlsym(module, messageBoxModuleEntry));
    }();
    return show;
}

void sayOnStandardError(const std::string& text, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", localeText(caption).c_str(), localeText(text).c_str());
    std::fflush(stderr);
}

}  // namespace

MessageAnswer messageBox(const std::string& text, const std::string& caption, MessageKind kind) {
    if (messageBoxAnswerer) return messageBoxAnswerer(text, caption, kind);
    const bool question = kind == MessageKind::Question;
    // Without a window to show it in, the box is said where a person running the launcher from
    // a terminal sees it, and answered as a dismissed box would be.
    MessageAnswer answer = question ? MessageAnswer::No : MessageAnswer::Ok;
    int givenAnswer = noGivenAnswer;
#ifdef ORV_TEST_HOOKS
    // Test builds only: end-to-end tests answer the launcher's questions without a person. The
    // box is still shown when it can be, and answers itself.
    const char* testAnswer = std::getenv("ORV_TEST_MESSAGE_ANSWER");
    if (testAnswer) {
        sayOnStandardError(text, caption);
        if (question)
            answer = std::string(testAnswer) == "yes" ? MessageAnswer::Yes : MessageAnswer::No;
        givenAnswer = static_cast<int>(answer);
    }
#endif
    if (const ShowMessageBox show = boxModule()) {
        const int shown = show(text.c_str(), caption.c_str(), static_cast<int>(kind), givenAnswer);
        if (shown != noDisplayForBox) {
#ifdef ORV_TEST_HOOKS
            if (testAnswer) std::fprintf(stderr, "%s: answered in its window\n", caption.c_str());
#endif
            return static_cast<MessageAnswer>(shown);
        }
    }
    if (givenAnswer == noGivenAnswer) sayOnStandardError(text, caption);
    return answer;
}

}  // namespace platform
