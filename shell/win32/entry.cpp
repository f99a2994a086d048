#include <windows.h>

#include "launcher/startup.h"
#include "shell/win32/launcher_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
    if (!startLauncher(commandLine ? commandLine : "")) return 0;
    return runLauncherWindow(instance, showCommand);
}
