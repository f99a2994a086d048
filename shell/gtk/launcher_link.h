// Inside the window module: the table the launcher handed over (see window_module.h).
#pragma once

#include "shell/gtk/window_module.h"

const LauncherCalls& launcherCalls();
