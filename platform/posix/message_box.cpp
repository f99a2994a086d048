#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "platform/posix/gtk_display.h"

namespace platform {

bool gtkAvailable() {
    static const bool available = gtk_init_check(nullptr, nullptr);
    return available;
}

MessageAnswer messageBox(const std::string& text, const std::string& caption, MessageKind kind) {
    if (messageBoxAnswerer) return messageBoxAnswerer(text, caption, kind);
    const bool question = kind == MessageKind::Question;
#ifdef ORV_TEST_HOOKS
    // Test builds only: end-to-end tests answer the launcher's questions without a person.
    if (const char* answer = std::getenv("ORV_TEST_MESSAGE_ANSWER")) {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        if (!question) return MessageAnswer::Ok;
        return std::string(answer) == "yes" ? MessageAnswer::Yes : MessageAnswer::No;
    }
#endif
    if (!gtkAvailable()) {
        // Headless: say it where a person running the launcher from a terminal sees it, and
        // answer as a dismissed box would.
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
        std::fflush(stderr);
        return question ? MessageAnswer::No : MessageAnswer::Ok;
    }
    const GtkMessageType type = kind == MessageKind::Error ? GTK_MESSAGE_ERROR
                                : question                 ? GTK_MESSAGE_QUESTION
                                                           : GTK_MESSAGE_INFO;
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type,
                                               question ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK,
                                               "%s", text.c_str());
    gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    while (gtk_events_pending()) gtk_main_iteration();
    if (!question) return MessageAnswer::Ok;
    return response == GTK_RESPONSE_YES ? MessageAnswer::Yes : MessageAnswer::No;
}

}  // namespace platform
