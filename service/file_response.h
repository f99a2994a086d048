#pragma once

#include <atomic>
#include <cstddef>

#include <httplib.h>

#include <filesystem>
#include <string>

// Streams a file into the response in blocks, with its Content-Length; the file is never held in
// memory as a whole. Returns false (response untouched) when the file cannot be opened.
// Files are sent at most this fast (0: as fast as the connection goes), so that a demo on one
// machine shows downloads the way a player sees them.
extern std::atomic<std::size_t> downloadBytesPerSecond;

bool sendFile(httplib::Response& response, const std::filesystem::path& file);

// Answers a request for a file below `root` by its decoded request path: the file, 403 for a path
// that tries to leave the folder, 404 for anything else.
void serveFromFolder(httplib::Response& response, const std::filesystem::path& root,
                     const std::string& requestPath);

// A small plain-text body for error answers.
void sendStatus(httplib::Response& response, int status, const std::string& text);
