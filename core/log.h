// The run's log: one file per run under <user folder>/Logs, one time-stamped line per call.
#pragma once

#include <string>
#include <vector>

#include "core/shared_text.h"

extern SharedText logPath;

// Creates the log folder and names this run's file. Without a folder the run goes on unlogged.
void openLog();

// Appends "<local time> - <text>" as one line. Callable from any thread; before openLog (or when
// the file cannot be opened) the line is lost silently.
void logLine(const std::string& text);

// The lines one after the other, with no other thread's line between them.
void logLines(const std::vector<std::string>& texts);
