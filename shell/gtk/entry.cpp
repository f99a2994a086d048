#include <clocale>
#include <string>

#include "launcher/startup.h"
#include "shell/gtk/gtk_shell.h"

int main(int argc, char** argv) {
    // Narrow texts are in the locale's character set, the stand-in for Windows' ANSI code page.
    std::setlocale(LC_ALL, "");
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    if (!startLauncher(commandLine)) return 0;
    return runLauncherWindow();
}
