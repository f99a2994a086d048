// An HTTP server on 127.0.0.1 for tests: scripted answers per path, and the files of a folder.
//
//     HttpServer server;
//     server.script("/version.ini", {answer(500), answer(200, "[LAUNCHER]\n...")});
//     fetchUrl(server.url("/version.ini"));   // first request gets 500, the second and later 200
//     EXPECT_EQ(server.requests("/version.ini"), 2);
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
class DataSink;
struct Request;
struct Response;
}  // namespace httplib

// How the body of an answer reaches the client.
// The cut of CutOff, Stall, Pause and Reset comes halfway through the body, or at `cutAt`; a
// request for the rest of the body (Range) is answered from its start on, cut or not.
enum class Delivery {
    Whole,    // with Content-Length, all at once
    Chunked,  // chunked transfer coding: the length is never announced
    CutOff,   // announces the whole length, sends up to the cut, closes the connection
    Stall,    // announces the whole length, sends up to the cut, then nothing until the client
              // gives up (or the server stops)
    Pause,    // announces the whole length, sends up to the cut, waits for release(), sends the rest
    Silent,   // accepts the request and never sends a byte until the client gives up
    Reset,    // announces the whole length, sends up to the cut, resets the connection (RST;
              // on Windows the connection is only closed, as with CutOff)
    LongLength,   // announces more bytes than the body has, sends the body, closes the connection
    ShortLength,  // announces half the body's length, then sends the whole body
    Endless,  // chunked, the body over and over without end, until the client hangs up
};

struct HttpAnswer {
    int status = 200;
    std::string body;
    Delivery delivery = Delivery::Whole;
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t cutAt = std::string::npos;  // where the delivery's fault strikes; npos: halfway
    bool ignoresRange = false;  // a 200 answer sends the whole body even to a Range request
};

HttpAnswer answer(int status, std::string body = {}, Delivery delivery = Delivery::Whole);
// The body cut off after `cutAt` bytes (CutOff), as a proxy that drops the connection does.
HttpAnswer cutAfter(std::string body, std::size_t cutAt);
// A redirect to `location`, a path on the same server or a full URL.
HttpAnswer redirectTo(std::string location, int status = 302);

class HttpServer {
public:
    HttpServer();  // listening once constructed
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:<port>" + path
    std::string url(const std::string& path = {}) const;

    // The n-th request (from 0) for `target` gets answers[n]; the last answer repeats. `target` is
    // a path ("/a/b.ini") or a path with its query ("/index.php?a=x"); an exact path-and-query
    // script wins over a path script. Replaces an earlier script of the target and its count.
    void script(const std::string& target, std::vector<HttpAnswer> answers);

    // Serves the files below `folder` for paths starting with `prefix` ("/files" serves
    // folder/x/y for "/files/x/y"), streamed from disk. Unknown files answer 404.
    void serveFolder(const std::string& prefix, const std::filesystem::path& folder);

    // Requests for `target` that arrive within `span` of the first one get `status`, later ones
    // its script or file, as during a short outage behind a proxy.
    void failFor(const std::string& target, std::chrono::milliseconds span, int status);

    // Requests seen for a path (any query) or for an exact path-and-query.
    int requests(const std::string& target) const;
    // The Range header of every request for a path, in arrival order ("" for none).
    std::vector<std::string> rangesAsked(const std::string& path) const;
    // The client's port of every request for a path, in arrival order: one per connection.
    std::vector<int> connectionsOf(const std::string& path) const;
    // Body bytes sent by every answer so far.
    std::uint64_t bodyBytesSent() const { return bytesSent_; }
    // Every request target in arrival order.
    std::vector<std::string> requestLog() const;

    // From now on every new connection and every request waits `roundTrip` before it is served,
    // as over a link with that round trip (loopback has none, and no kernel delay here).
    void addRoundTrip(std::chrono::milliseconds roundTrip);

    // Lets every Pause answer, now and later, send its second half.
    void release();

private:
    void handle(const httplib::Request& request, httplib::Response& response);
    bool serveFile(const std::string& path, bool ranged, httplib::Response& response);
    void respond(HttpAnswer answer, const httplib::Request& request,
                 httplib::Response& response);
    bool writeCounted(httplib::DataSink& sink, const char* data, std::size_t size);
    // Waits until the server stops (true: stopping) or, unless `stopOnly`, until release().
    bool waitForRelease(bool stopOnly);

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool released_ = false;
    std::map<std::string, std::vector<HttpAnswer>> scripts_;
    std::map<std::string, int> counts_;
    std::vector<std::string> log_;
    std::vector<std::pair<std::string, std::filesystem::path>> folders_;
    struct Outage {
        std::chrono::milliseconds span;
        int status;
        std::optional<std::chrono::steady_clock::time_point> began;
    };
    std::map<std::string, Outage> outages_;
    std::map<std::string, std::vector<std::string>> ranges_;
    std::map<std::string, std::vector<int>> peers_;
    std::atomic<std::uint64_t> bytesSent_{0};
    std::atomic<int> acceptDelay_{0};
    std::atomic<int> requestDelay_{0};
};
