#pragma once

// Creates the launcher window with its browser and runs the GTK main loop until the window is
// destroyed. Without a display no window can be made: that is logged, and the result is 0.
int runLauncherWindow();
