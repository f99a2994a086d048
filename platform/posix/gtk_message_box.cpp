// The message box module: the only code of the platform seam that meets GTK.
#include <gtk/gtk.h>

#include <type_traits>

#include "platform/platform.h"
#include "platform/posix/gtk_display.h"
#include "platform/posix/gtk_thread.h"
#include "platform/posix/message_box_module.h"

namespace {

using platform::MessageAnswer;
using platform::MessageKind;

struct Box {
    const char* text;
    const char* caption;
    MessageKind kind;
    int givenAnswer;
};

struct AutoAnswer {
    GtkDialog* dialog;
    int response;
    bool given = false;
};

int showBox(void* data) {
    const Box& box = *static_cast<const Box*>(data);
    if (!platform::gtkAvailable()) return platform::noDisplayForBox;
    const bool question = box.kind == MessageKind::Question;
    const GtkMessageType type = box.kind == MessageKind::Error ? GTK_MESSAGE_ERROR
                                : question                     ? GTK_MESSAGE_QUESTION
                                                               : GTK_MESSAGE_INFO;
    GtkWidget* dialog =
        gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, type,
                               question ? GTK_BUTTONS_YES_NO : GTK_BUTTONS_OK, "%s", box.text);
    gtk_window_set_title(GTK_WINDOW(dialog), box.caption);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);

    AutoAnswer autoAnswer{GTK_DIALOG(dialog), GTK_RESPONSE_OK};
    guint answerTimer = 0;
    if (box.givenAnswer != platform::noGivenAnswer) {
        if (question)
            autoAnswer.response = box.givenAnswer == static_cast<int>(MessageAnswer::Yes)
                                      ? GTK_RESPONSE_YES
                                      : GTK_RESPONSE_NO;
        // Long enough to be seen (and photographed) on the screen.
        answerTimer = g_timeout_add(
            300,
            [](gpointer data) -> gboolean {
                auto& answer = *static_cast<AutoAnswer*>(data);
                answer.given = true;
                gtk_dialog_response(answer.dialog, answer.response);
                return G_SOURCE_REMOVE;
            },
            &autoAnswer);
    }
    const int response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (answerTimer && !autoAnswer.given) g_source_remove(answerTimer);
    gtk_widget_destroy(dialog);
    while (gtk_events_pending()) gtk_main_iteration();
    if (!question) return static_cast<int>(MessageAnswer::Ok);
    return static_cast<int>(response == GTK_RESPONSE_YES ? MessageAnswer::Yes : MessageAnswer::No);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int orvShowMessageBox(const char* text,
                                                                        const char* caption,
                                                                        int kind, int givenAnswer) {
    Box box{text, caption, static_cast<MessageKind>(kind), givenAnswer};
    return platform::runOnGtkThread(showBox, &box);
}

static_assert(std::is_same_v<decltype(&orvShowMessageBox), platform::ShowMessageBox>);
