#include <clocale>
#include <string>

#include "launcher/startup.h"
#include "shell/gtk/window_loader.h"

int main(int argc, char** argv) {
    // Narrow texts are UTF-8 whatever the locale; it only decides how a terminal is written to.
    std::setlocale(LC_ALL, "");
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    if (!startLauncher(commandLine)) return 0;
    return showLauncherWindow();
}
