// The parts of the launcher that need GTK (the window with its browser, the message box) are
// modules of their own beside the program, opened the moment they are needed: a start that never
// shows a window or a box never loads the GUI libraries.
#pragma once

#include <string>

namespace platform {

// The path of a module file that lies beside the running program. Test builds may name another
// folder in ORV_TEST_MODULE_DIR.
std::string besideProgram(const std::string& fileName);

// True when the environment names a display for GTK (X11 or Wayland): without one, loading
// the GUI libraries only to find that out is skipped.
bool displayNamed();

}  // namespace platform
