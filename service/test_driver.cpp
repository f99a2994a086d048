#include "service/test_driver.h"

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* driverScript = R"JS((function () {
  const webview = window.chrome && window.chrome.webview;
  if (!webview) return;
  const page = location.pathname;
  const report = (text) => fetch('/e2e/seen', { method: 'POST', body: page + ' ' + text });
  let last = '';
  webview.addEventListener('message', (event) => {
    const text = typeof event.data === 'string' ? event.data : JSON.stringify(event.data);
    if (text !== last) report(text);
    last = text;
  });
  report('loaded');
  async function poll() {
    try {
      const answer = await fetch('/e2e/command');
      const command = (await answer.text()).trim();
      if (command.startsWith('navigate ')) location.href = command.slice(9);
      else if (command) webview.postMessage(command);
    } catch (error) {}
    setTimeout(poll, 200);
  }
  poll();
})();
)JS";

std::mutex driverLock;
std::streamoff commandsRead = 0;  // commands already handed out, in bytes

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace

void addTestDriverRoutes(httplib::Server& server, const fs::path& folder) {
    server.Get("/e2e/driver.js", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(driverScript, "text/javascript");
    });
    // The next command line the test has appended, each handed out once.
    server.Get("/e2e/command", [folder](const httplib::Request&, httplib::Response& response) {
        const std::lock_guard lock(driverLock);
        const std::string all = readAll(folder / "commands");
        std::string command;
        const auto end = all.find('\n', static_cast<size_t>(commandsRead));
        if (static_cast<size_t>(commandsRead) < all.size() && end != std::string::npos) {
            command = all.substr(static_cast<size_t>(commandsRead),
                                 end - static_cast<size_t>(commandsRead));
            commandsRead = static_cast<std::streamoff>(end + 1);
        }
        response.set_header("Cache-Control", "no-store");
        response.set_content(command, "text/plain");
    });
    server.Post("/e2e/seen",
                [folder](const httplib::Request& request, httplib::Response& response) {
                    const std::lock_guard lock(driverLock);
                    std::ofstream(folder / "seen.log", std::ios::app) << request.body << '\n';
                    response.status = 204;
                });
}

void holdWhileTheTestAsks(const fs::path& folder) {
    const fs::path hold = folder / "hold-sync";
    int seconds = 0;
    std::ifstream(hold) >> seconds;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::error_code error;
    while (std::chrono::steady_clock::now() < until && fs::exists(hold, error))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void sendDrivenPage(httplib::Response& response, const fs::path& page) {
    std::string html = readAll(page);
    if (html.empty()) {
        response.status = 404;
        return;
    }
    const std::string tag = "<script src=\"/e2e/driver.js\"></script>";
    const auto body = html.rfind("</body>");
    html.insert(body == std::string::npos ? html.size() : body, tag);
    response.set_header("Cache-Control", "no-store");
    response.set_content(html, "text/html; charset=utf-8");
}
