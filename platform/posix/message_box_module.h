// What platform::messageBox and the GTK message box module (built from gtk_message_box.cpp) hand
// each other. The kinds and answers travel as the values of platform::MessageKind and
// platform::MessageAnswer.
#pragma once

namespace platform {

inline constexpr const char* messageBoxModuleFile = "orv-message-box.so";
inline constexpr const char* messageBoxModuleEntry = "orvShowMessageBox";

// No answer given in advance: the box waits for the person.
inline constexpr int noGivenAnswer = -1;
// Returned when GTK found no display to show the box on.
inline constexpr int noDisplayForBox = -1;

// Shows the box on GTK's thread and returns the answer. With a given answer the box is shown
// and then answered by itself: the end-to-end tests take the paths behind a box that way.
using ShowMessageBox = int (*)(const char* text, const char* caption, int kind, int givenAnswer);

}  // namespace platform
