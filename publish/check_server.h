// `check`: reads a download server as the launcher reads it and reports what players would get,
// what goes wrong for them and what each installation downloads.
#pragma once

#include <ostream>

class CheckReport;
class ProgressLine;
class ServerFiles;

// Writes the report; its error count decides the exit status.
void checkServer(ServerFiles& server, CheckReport& report, ProgressLine& progress);
