// End-to-end tests drive the real launcher through its pages: every page gets a small script
// that carries the test's commands to the launcher as the page's own messages would, and reports
// what the launcher sent to the page. Off unless the service is started with --test-driver.
#pragma once

#include <httplib.h>

#include <filesystem>

// In `folder`, the test appends command lines to "commands" (a command word, or
// "navigate <path>"); the pages write what they receive to "seen.log", one line each:
// "<page path> <message>" ("<page path> loaded" when a page has loaded).
void addTestDriverRoutes(httplib::Server& server, const std::filesystem::path& folder);

// While the test keeps a file "hold-sync" in `folder`, the web service holds its answers to the
// launcher's settings and account requests (at most as many seconds as the file says).
void holdWhileTheTestAsks(const std::filesystem::path& folder);

// Serves the page with the driver script added before its closing body tag.
void sendDrivenPage(httplib::Response& response, const std::filesystem::path& page);
