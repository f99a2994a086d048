// An HTTP server on 127.0.0.1 for tests: per request target, declared answers or faults (the n-th
// request gets answers[n], the last repeats), and the files of a folder.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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

// How the body reaches the client. A fault strikes at `cutAt` (halfway by default); a request for
// the rest of the body (Range) is answered from its start on.
enum class Delivery {
    Whole,    // with Content-Length, all at once
    CutOff,   // announces the whole length, sends up to the cut, closes the connection
    Pause,    // sends up to the cut, waits for release(), sends the rest
    Endless,  // chunked, without end until the client hangs up
};

struct HttpAnswer {
    int status = 200;
    std::string body;
    Delivery delivery = Delivery::Whole;
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t cutAt = std::string::npos;
    bool ignoresRange = false;  // a 200 answer sends the whole body even to a Range request
};

HttpAnswer answer(int status, std::string body = {}, Delivery delivery = Delivery::Whole);
HttpAnswer cutAfter(std::string body, std::size_t cutAt);  // as a proxy that drops the connection

class HttpServer {
public:
    HttpServer();  // listening once constructed
    ~HttpServer();

    std::string url(const std::string& path = {}) const;  // "http://127.0.0.1:<port>" + path

    // `target` is a path or a path with its query; an exact path-and-query script wins over a
    // path script. Replaces an earlier script of the target and its count.
    void script(const std::string& target, std::vector<HttpAnswer> answers);
    // Serves the files below `folder` for paths below `prefix`, streamed from disk; others 404.
    void serveFolder(const std::string& prefix, const std::filesystem::path& folder);
    // Requests for the path within `span` of the first one get `status`, as in a short outage.
    void failFor(const std::string& path, std::chrono::milliseconds span, int status);

    // Requests seen for a path (any query) or for an exact path-and-query.
    int requests(const std::string& target) const;
    // Per path, in arrival order: the Range header ("" for none), the client's port.
    std::vector<std::string> rangesAsked(const std::string& path) const;
    std::vector<int> connectionsOf(const std::string& path) const;
    std::vector<std::string> requestLog() const;  // every target in arrival order
    std::uint64_t bodyBytesSent() const { return bytesSent_; }

    // Every new connection and every request waits `roundTrip` before it is served.
    void addRoundTrip(std::chrono::milliseconds roundTrip);
    void release();  // lets every Pause answer, now and later, send its second half

private:
    struct Seen {
        std::string path, target, range;
        int peer;
    };
    struct Outage {
        std::chrono::milliseconds span;
        int status;
        std::chrono::steady_clock::time_point began{};
    };
    void handle(const httplib::Request& request, httplib::Response& response);
    void respond(HttpAnswer answer, bool ranged, httplib::Response& response);
    bool serveFile(const std::string& path, bool ranged, httplib::Response& response);
    bool waitUntil(const std::function<bool()>& done);  // false: the server stops
    bool write(httplib::DataSink& sink, const char* data, std::size_t size);
    template <typename T>
    std::vector<T> collect(const std::string& path, T Seen::*field) const;  // "": every path

    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false, released_ = false;
    std::map<std::string, std::vector<HttpAnswer>> scripts_;
    std::map<std::string, int> counts_;
    std::map<std::string, Outage> outages_;
    std::vector<Seen> seen_;
    std::vector<std::pair<std::string, std::filesystem::path>> folders_;
    std::atomic<std::uint64_t> bytesSent_{0};
    std::atomic<int> delayMs_{0};
};
