#pragma once

// Opens the window module and runs the launcher window until it is closed; the result is the
// program's exit status. Without a display, or without the module or WebKitGTK, that is logged
// (and the missing library told to the player), and the result is 0.
int showLauncherWindow();
