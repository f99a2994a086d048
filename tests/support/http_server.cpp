#include "tests/support/http_server.h"

#include <httplib.h>

#ifndef _WIN32
#include <pthread.h>
#endif

#include <algorithm>
#include <deque>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "core/text.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* contentType = "application/octet-stream";
constexpr auto longestWait = 60s;  // a held answer never keeps a server thread longer
constexpr std::size_t fileChunk = 256 * 1024;
constexpr const char* readyPath = "/.ready";  // neither counted nor logged
constexpr std::size_t connectionThreads = 8;

// Connections in progress on the servers of this process, and their threads still starting.
std::mutex busyMutex;
std::condition_variable busyChanged;
std::size_t busy = 0;

void changeBusy(std::size_t add, std::size_t remove) {
    const std::lock_guard lock(busyMutex);
    busy = busy + add - remove;
    busyChanged.notify_all();
}

// The threads that serve the connections. Death tests fork while a server runs, and
// AddressSanitizer's allocator takes no care of fork: a child that inherits one of its
// locks from a worker busy at that moment waits for it for ever. So a fork first waits (ten
// seconds at most) until no connection is in progress and no worker is starting.
class ConnectionPool final : public httplib::TaskQueue {
public:
    explicit ConnectionPool(const std::atomic<int>& delayMs) : delayMs_(delayMs) {
#ifndef _WIN32
        static std::once_flag once;
        std::call_once(once, [] {
            pthread_atfork(
                [] {
                    std::unique_lock lock(busyMutex);
                    busyChanged.wait_for(lock, 10s, [] { return busy == 0; });
                    lock.release();  // held across the fork
                },
                [] { busyMutex.unlock(); },
                [] {
                    busy = 0;  // the child has none of the threads
                    busyMutex.unlock();
                });
        });
#endif
        changeBusy(connectionThreads, 0);
        for (std::size_t i = 0; i < connectionThreads; ++i)
            threads_.emplace_back([this] { work(); });
    }

    void enqueue(std::function<void()> task) override {
        changeBusy(1, 0);
        const std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        wake_.notify_one();
    }

    void shutdown() override {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
            wake_.notify_all();
        }
        for (auto& thread : threads_) thread.join();
    }

private:
    void work() {
        for (std::function<void()> task;; task = nullptr) {  // freed before the worker is idle
            changeBusy(0, 1);  // started (the sanitizers' start-up work is behind it), or done
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
                if (tasks_.empty()) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
            task();
        }
    }

    const std::atomic<int>& delayMs_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
};

}  // namespace

HttpAnswer answer(int status, std::string body, Delivery delivery) {
    return {status, std::move(body), delivery, {}};
}

HttpAnswer cutAfter(std::string body, std::size_t cutAt) {
    return {200, std::move(body), Delivery::CutOff, {}, cutAt};
}

HttpServer::HttpServer() : server_(std::make_unique<httplib::Server>()) {
    server_->new_task_queue = [this] { return new ConnectionPool(delayMs_); };
    // Keeps connections and sends at once, as a web server does (httplib keeps five requests).
    server_->set_keep_alive_max_count(1000);
    server_->set_tcp_nodelay(true);
    server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("test HTTP server: no free port on 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // A server stopped before its accept loop has settled can miss the stop and leave the
    // destructor waiting for ever: return only once a first request has been answered.
    httplib::Client probe("127.0.0.1", port_);
    while (!probe.Get(readyPath)) std::this_thread::sleep_for(1ms);
}

HttpServer::~HttpServer() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    server_->stop();
    thread_.join();
}

std::string HttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void HttpServer::script(const std::string& target, std::vector<HttpAnswer> answers) {
    if (answers.empty()) throw std::invalid_argument("test HTTP server: a script needs an answer");
    const std::lock_guard lock(mutex_);
    scripts_[target] = std::move(answers);
    counts_.erase(target);
}

void HttpServer::serveFolder(const std::string& prefix, const fs::path& folder) {
    const std::lock_guard lock(mutex_);
    folders_.emplace_back(prefix, folder);
}

void HttpServer::failFor(const std::string& path, std::chrono::milliseconds span, int status) {
    const std::lock_guard lock(mutex_);
    outages_[path] = Outage{span, status};
}

int HttpServer::requests(const std::string& target) const {
    const std::lock_guard lock(mutex_);
    const auto found = counts_.find(target);
    return found == counts_.end() ? 0 : found->second;
}

template <typename T>
std::vector<T> HttpServer::collect(const std::string& path, T Seen::*field) const {
    std::vector<T> values;
    const std::lock_guard lock(mutex_);
    for (const Seen& seen : seen_)
        if (path.empty() || seen.path == path) values.push_back(seen.*field);
    return values;
}

std::vector<std::string> HttpServer::rangesAsked(const std::string& path) const {
    return collect(path, &Seen::range);
}
std::vector<int> HttpServer::connectionsOf(const std::string& path) const {
    return collect(path, &Seen::peer);
}
std::vector<std::string> HttpServer::requestLog() const {
    return collect({}, &Seen::target);
}

void HttpServer::addRoundTrip(std::chrono::milliseconds roundTrip) {
    delayMs_ = static_cast<int>(roundTrip.count());
}

void HttpServer::release() {
    const std::lock_guard lock(mutex_);
    released_ = true;
    wake_.notify_all();
}

bool HttpServer::waitUntil(const std::function<bool()>& done) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + longestWait;
    while (!stopping_ && !done() && std::chrono::steady_clock::now() < deadline)
        wake_.wait_for(lock, 20ms);
    return !stopping_;
}

bool HttpServer::write(httplib::DataSink& sink, const char* data, std::size_t size) {
    if (!sink.write(data, size)) return false;
    bytesSent_ += size;
    return true;
}

void HttpServer::handle(const httplib::Request& request, httplib::Response& response) {
    if (request.path == readyPath) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_.load()));
    const auto query = request.target.find('?');
    const std::string target =
        query == std::string::npos ? request.path : request.path + request.target.substr(query);
    std::optional<HttpAnswer> chosen;
    {
        const std::lock_guard lock(mutex_);
        seen_.push_back(
            {request.path, target, request.get_header_value("Range"), request.remote_port});
        ++counts_[request.path];
        if (target != request.path) ++counts_[target];
        for (const std::string* key : {&target, &request.path}) {  // the exact script first
            if (const auto script = scripts_.find(*key); script != scripts_.end()) {
                const auto index = static_cast<std::size_t>(counts_[*key] - 1);
                chosen = script->second[std::min(index, script->second.size() - 1)];
                break;
            }
        }
        if (const auto outage = outages_.find(request.path); outage != outages_.end()) {
            auto& [span, status, began] = outage->second;
            const auto now = std::chrono::steady_clock::now();
            if (began == std::chrono::steady_clock::time_point{}) began = now;
            if (now - began < span) chosen = answer(status, "unavailable");
        }
    }
    // Only a whole body can be cut to a range; error pages, and servers that ignore Range, go
    // out whole (httplib would otherwise cut any body it is given).
    auto& ranges = const_cast<httplib::Request&>(request).ranges;
    if (chosen && (chosen->status != 200 || chosen->ignoresRange)) ranges.clear();
    if (chosen) {
        respond(std::move(*chosen), !ranges.empty(), response);
    } else if (!serveFile(request.path, !ranges.empty(), response)) {
        ranges.clear();
        response.status = 404;
        response.set_content("not found", "text/plain");
    }
}

void HttpServer::respond(HttpAnswer made, bool ranged, httplib::Response& response) {
    response.status = made.status == 200 && ranged ? 206 : made.status;
    for (const auto& [name, value] : made.headers) response.set_header(name, value);
    // Shared by the content providers: a big body is not copied for each of them.
    const auto body = std::make_shared<const std::string>(std::move(made.body));
    const Delivery delivery = made.delivery;
    const std::size_t size = body->size(), half = size / 2;
    if (delivery == Delivery::Endless) {
        response.set_chunked_content_provider(
            contentType, [this](std::size_t, httplib::DataSink& sink) {
                const std::string piece(64 * 1024, 'x');
                while (write(sink, piece.data(), piece.size()) && waitUntil([] { return true; })) {
                }
                return false;
            });
    } else if (size == 0) {
        response.set_content("", contentType);
    } else {
        const std::size_t cut =
            delivery == Delivery::Whole
                ? 0
                : std::min(made.cutAt == std::string::npos ? half : made.cutAt, size);
        response.set_content_provider(
            size, contentType,
            [this, body, cut, delivery](std::size_t offset, std::size_t length,
                                        httplib::DataSink& sink) {
                const std::size_t end = std::min(body->size(), offset + length);
                if (offset < cut) {
                    if (!write(sink, body->data() + offset, std::min(cut, end) - offset))
                        return false;
                    if (delivery != Delivery::Pause || !waitUntil([this] { return released_; }))
                        return false;
                    offset = cut;
                }
                return offset >= end || write(sink, body->data() + offset, end - offset);
            });
    }
}

bool HttpServer::serveFile(const std::string& path, bool ranged, httplib::Response& response) {
    fs::path file;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [prefix, folder] : folders_) {
            if (!path.starts_with(prefix + "/")) continue;
            const fs::path relative = toPath(path.substr(prefix.size() + 1)).lexically_normal();
            if (relative.is_absolute() || relative.empty() || *relative.begin() == "..") continue;
            file = folder / relative;
            break;
        }
    }
    std::error_code error;
    if (file.empty() || !fs::is_regular_file(file, error)) return false;
    const auto size = fs::file_size(file, error);
    auto stream = std::make_shared<std::ifstream>(file, std::ios::binary);
    if (error || !*stream) return false;
    response.status = ranged ? 206 : 200;
    // Streamed in chunks, so a large file never sits in memory as a whole.
    auto buffer = std::make_shared<std::vector<char>>(fileChunk);
    response.set_content_provider(
        static_cast<std::size_t>(size), contentType,
        [this, stream, buffer](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            stream->seekg(static_cast<std::streamoff>(offset));
            stream->read(buffer->data(), static_cast<std::streamsize>(std::min(length, fileChunk)));
            const auto got = static_cast<std::size_t>(stream->gcount());
            return got > 0 && write(sink, buffer->data(), got);
        });
    return true;
}
