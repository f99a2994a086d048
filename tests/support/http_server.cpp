#include "tests/support/http_server.h"

#include <httplib.h>

#ifndef _WIN32
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <set>
#include <stdexcept>

#include "core/text.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* contentType = "application/octet-stream";
// A stalled or silent answer never holds a server thread longer than this.
constexpr auto longestWait = std::chrono::seconds(60);
constexpr std::size_t fileChunk = 256 * 1024;
constexpr const char* readyPath = "/.ready";  // neither counted nor logged
constexpr std::size_t connectionThreads = 8;
// A fork waits this long at most for the connections in progress to end.
constexpr auto forkWait = std::chrono::seconds(10);

// The threads that serve the connections. Death tests and forked sessions fork while a server
// runs, and AddressSanitizer's allocator takes no care of fork: a child that inherits one of its
// locks from a worker busy at that moment waits for it for ever. So every fork first waits until
// no connection is in progress on any server.
class ConnectionPool final : public httplib::TaskQueue {
public:
    // `acceptDelay`: milliseconds each new connection waits before it is served.
    explicit ConnectionPool(const std::atomic<int>& acceptDelay) : acceptDelay_(acceptDelay) {
        for (std::size_t i = 0; i < connectionThreads; ++i) threads_.emplace_back([this] { work(); });
        const std::lock_guard lock(registryMutex());
        registry().insert(this);
    }
    ~ConnectionPool() override {
        const std::lock_guard lock(registryMutex());
        registry().erase(this);
    }
    ConnectionPool(const ConnectionPool&) = delete;
    ConnectionPool& operator=(const ConnectionPool&) = delete;

    void enqueue(std::function<void()> task) override {
        {
            const std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
            ++pending_;
        }
        wake_.notify_one();
    }

    void shutdown() override {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& thread : threads_) thread.join();
    }

    // Registered once per process, before the first server starts.
    static void guardForks() {
#ifndef _WIN32
        static std::once_flag once;
        std::call_once(once, [] { pthread_atfork(&ConnectionPool::awaitAllIdle, nullptr, nullptr); });
#endif
    }

private:
    void work() {
        done();  // started: the sanitizers' start-up work for this thread is behind it
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
                if (tasks_.empty()) return;
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            if (const int delay = acceptDelay_.load(); delay > 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            task();
            task = nullptr;  // freed before the worker counts as idle
            done();
        }
    }

    void done() {
        {
            const std::lock_guard lock(mutex_);
            --pending_;
        }
        idle_.notify_all();
    }

#ifndef _WIN32
    static void awaitAllIdle() {
        const std::lock_guard lock(registryMutex());
        for (ConnectionPool* pool : registry()) {
            // A forked child inherits its parent's pools but none of their threads.
            if (pool->owner_ != getpid()) continue;
            std::unique_lock poolLock(pool->mutex_);
            pool->idle_.wait_for(poolLock, forkWait, [pool] { return pool->pending_ == 0; });
        }
    }
#endif

    static std::mutex& registryMutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::set<ConnectionPool*>& registry() {
        static std::set<ConnectionPool*> pools;
        return pools;
    }

    const std::atomic<int>& acceptDelay_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> tasks_;
    std::size_t pending_ = connectionThreads;  // workers starting, tasks queued or running
    bool stopping_ = false;
#ifndef _WIN32
    const pid_t owner_ = getpid();
#endif
};

// Resets the connection from 127.0.0.1:`peerPort` to `localPort` at once, without the orderly
// close that the server would make: the client sees ECONNRESET, as behind a dropping proxy.
void resetConnection(int localPort, int peerPort) {
#ifndef _WIN32
    for (int fd = 3; fd < 4096; ++fd) {
        sockaddr_in local{};
        sockaddr_in peer{};
        socklen_t localSize = sizeof local;
        socklen_t peerSize = sizeof peer;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
            getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != localPort ||
            ntohs(peer.sin_port) != peerPort) {
            continue;
        }
        // Disconnecting a TCP socket with AF_UNSPEC sends RST; the server's own close that
        // follows then finds nothing left to close gracefully.
        const linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        sockaddr unspecified{};
        unspecified.sa_family = AF_UNSPEC;
        connect(fd, &unspecified, sizeof unspecified);
        return;
    }
#else
    (void)localPort;
    (void)peerPort;
#endif
}

}  // namespace

HttpAnswer answer(int status, std::string body, Delivery delivery) {
    HttpAnswer made;
    made.status = status;
    made.body = std::move(body);
    made.delivery = delivery;
    return made;
}

HttpAnswer cutAfter(std::string body, std::size_t cutAt) {
    HttpAnswer made = answer(200, std::move(body), Delivery::CutOff);
    made.cutAt = cutAt;
    return made;
}

HttpAnswer redirectTo(std::string location, int status) {
    HttpAnswer made = answer(status);
    made.headers = {{"Location", std::move(location)}};
    return made;
}

HttpServer::HttpServer() : server_(std::make_unique<httplib::Server>()) {
    ConnectionPool::guardForks();
    server_->new_task_queue = [this] { return new ConnectionPool(acceptDelay_); };
    // As a web server keeps connections (nginx: a thousand requests; httplib's own is five) and
    // sends without waiting for acknowledgements (else each answer waits out a delayed ACK).
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
    while (!probe.Get(readyPath)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpServer::~HttpServer() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
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

void HttpServer::failFor(const std::string& target, std::chrono::milliseconds span, int status) {
    const std::lock_guard lock(mutex_);
    outages_[target] = Outage{span, status, std::nullopt};
}

std::vector<std::string> HttpServer::rangesAsked(const std::string& path) const {
    const std::lock_guard lock(mutex_);
    const auto found = ranges_.find(path);
    return found == ranges_.end() ? std::vector<std::string>{} : found->second;
}

std::vector<int> HttpServer::connectionsOf(const std::string& path) const {
    const std::lock_guard lock(mutex_);
    const auto found = peers_.find(path);
    return found == peers_.end() ? std::vector<int>{} : found->second;
}

bool HttpServer::writeCounted(httplib::DataSink& sink, const char* data, std::size_t size) {
    if (!sink.write(data, size)) return false;
    bytesSent_ += size;
    return true;
}

int HttpServer::requests(const std::string& target) const {
    const std::lock_guard lock(mutex_);
    const auto found = counts_.find(target);
    return found == counts_.end() ? 0 : found->second;
}

std::vector<std::string> HttpServer::requestLog() const {
    const std::lock_guard lock(mutex_);
    return log_;
}

void HttpServer::release() {
    {
        const std::lock_guard lock(mutex_);
        released_ = true;
    }
    wake_.notify_all();
}

bool HttpServer::waitForRelease(bool stopOnly) {
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, longestWait, [&] { return stopping_ || (!stopOnly && released_); });
    return !stopping_;
}

void HttpServer::addRoundTrip(std::chrono::milliseconds roundTrip) {
    acceptDelay_ = static_cast<int>(roundTrip.count());
    requestDelay_ = static_cast<int>(roundTrip.count());
}

void HttpServer::handle(const httplib::Request& request, httplib::Response& response) {
    if (request.path == readyPath) return;
    if (const int delay = requestDelay_.load(); delay > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    const auto queryStart = request.target.find('?');
    const std::string withQuery =
        queryStart == std::string::npos ? request.path : request.path + request.target.substr(queryStart);

    HttpAnswer chosen;
    bool scripted = false;
    {
        const std::lock_guard lock(mutex_);
        log_.push_back(withQuery);
        ranges_[request.path].push_back(request.get_header_value("Range"));
        peers_[request.path].push_back(request.remote_port);
        const int pathCount = ++counts_[request.path];
        const int exactCount = withQuery != request.path ? ++counts_[withQuery] : pathCount;
        auto script = scripts_.find(withQuery);
        int index = exactCount - 1;
        if (script == scripts_.end()) {
            script = scripts_.find(request.path);
            index = pathCount - 1;
        }
        if (script != scripts_.end()) {
            const auto& answers = script->second;
            chosen = answers[std::min<std::size_t>(static_cast<std::size_t>(index), answers.size() - 1)];
            scripted = true;
        }
        if (const auto outage = outages_.find(request.path); outage != outages_.end()) {
            const auto now = std::chrono::steady_clock::now();
            if (!outage->second.began) outage->second.began = now;
            if (now - *outage->second.began < outage->second.span) {
                chosen = answer(outage->second.status, "unavailable");
                scripted = true;
            }
        }
    }
    // Only a whole body can be cut to a range; error pages, and servers that ignore Range, go
    // out whole (httplib would otherwise cut any body it is given).
    auto& ranges = const_cast<httplib::Request&>(request).ranges;
    if (scripted && (chosen.status != 200 || chosen.ignoresRange)) ranges.clear();
    if (scripted) {
        respond(std::move(chosen), request, response);
    } else if (!serveFile(request.path, !ranges.empty(), response)) {
        ranges.clear();
        response.status = 404;
        response.set_content("not found", "text/plain");
    }
}

void HttpServer::respond(HttpAnswer answer, const httplib::Request& request,
                         httplib::Response& response) {
    response.status = answer.status == 200 && !request.ranges.empty() ? 206 : answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    // Shared by the content providers: a big body is not copied for each of them.
    const auto shared = std::make_shared<const std::string>(std::move(answer.body));
    const std::string& body = *shared;
    const std::size_t half = body.size() / 2;
    switch (answer.delivery) {
    case Delivery::Chunked:
        response.set_chunked_content_provider(contentType, [this, shared, half](std::size_t, httplib::DataSink& sink) {
            const std::string& body = *shared;
            // Two chunks, so the client sees data arrive without ever learning the length.
            writeCounted(sink, body.data(), half);
            writeCounted(sink, body.data() + half, body.size() - half);
            sink.done();
            return true;
        });
        return;
    case Delivery::Silent:
        waitForRelease(true);
        response.set_content(body, contentType);
        return;
    case Delivery::LongLength:
        response.set_content_provider(
            body.size() + 1000, contentType,
            [this, shared](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                const std::string& body = *shared;
                if (offset == 0 && !body.empty()) writeCounted(sink, body.data(), body.size());
                return false;  // the rest never comes: the connection closes short
            });
        return;
    case Delivery::ShortLength:
        response.set_content_provider(
            half, contentType, [this, shared](std::size_t, std::size_t, httplib::DataSink& sink) {
                const std::string& body = *shared;
                // All of it, past the announced end: the client must stop where it was told.
                return writeCounted(sink, body.data(), body.size());
            });
        return;
    case Delivery::Endless:
        response.set_chunked_content_provider(contentType, [this, shared](std::size_t, httplib::DataSink& sink) {
            const std::string& body = *shared;
            const std::string piece = body.empty() ? std::string(64 * 1024, 'x') : body;
            while (writeCounted(sink, piece.data(), piece.size())) {
                const std::lock_guard lock(mutex_);
                if (stopping_) break;
            }
            return false;
        });
        return;
    case Delivery::Whole:
    case Delivery::Reset:
    case Delivery::CutOff:
    case Delivery::Stall:
    case Delivery::Pause:
        break;
    }
    if (body.empty()) {
        response.set_content(body, contentType);
        return;
    }
    const Delivery delivery = answer.delivery;
    const std::size_t cut = delivery == Delivery::Whole
                                ? 0
                                : std::min(answer.cutAt == std::string::npos ? half : answer.cutAt,
                                           body.size());
    const int peerPort = request.remote_port;
    response.set_content_provider(
        body.size(), contentType,
        [this, shared, cut, delivery, peerPort](std::size_t offset, std::size_t length,
                                              httplib::DataSink& sink) {
            const std::string& body = *shared;
            const std::size_t end = std::min(body.size(), offset + length);
            if (delivery != Delivery::Whole && offset < cut) {
                if (!writeCounted(sink, body.data() + offset, std::min(cut, end) - offset)) return false;
                if (delivery == Delivery::CutOff) return false;  // the connection is closed short
                if (delivery == Delivery::Reset) {
                    resetConnection(port_, peerPort);
                    return false;
                }
                if (delivery == Delivery::Stall) {
                    waitForRelease(true);
                    return false;
                }
                if (!waitForRelease(false)) return false;
                offset = cut;
            }
            return offset >= end || writeCounted(sink, body.data() + offset, end - offset);
        });
}

bool HttpServer::serveFile(const std::string& path, bool ranged, httplib::Response& response) {
    fs::path file;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [prefix, folder] : folders_) {
            if (path.size() <= prefix.size() + 1 || path.compare(0, prefix.size(), prefix) != 0 ||
                path[prefix.size()] != '/') {
                continue;
            }
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
    auto buffer = std::make_shared<std::vector<char>>(fileChunk);
    if (error || !*stream) return false;
    response.status = ranged ? 206 : 200;
    // Streamed in chunks, so a large file never sits in memory as a whole.
    response.set_content_provider(
        static_cast<std::size_t>(size), contentType,
        [this, stream, buffer](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
            stream->seekg(static_cast<std::streamoff>(offset));
            stream->read(buffer->data(), static_cast<std::streamsize>(std::min(length, fileChunk)));
            const auto got = static_cast<std::size_t>(stream->gcount());
            return got > 0 && writeCounted(sink, buffer->data(), got);
        });
    return true;
}
