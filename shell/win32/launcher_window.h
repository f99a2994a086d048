// The launcher window: a borderless 904 x 504 popup with rounded corners, a thin rim and the
// browser over the rest.
#pragma once

#include <windows.h>

// Registers the window class "ORVLauncher" and creates the window, hidden and shaped; null when
// no window could be made. It becomes the launcher's main window.
HWND createLauncherWindow(HINSTANCE instance);

LRESULT CALLBACK launcherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Creates and shows the window, starts its browser and runs the message loop until the window is
// destroyed. Returns 0.
int runLauncherWindow(HINSTANCE instance, int showCommand);
