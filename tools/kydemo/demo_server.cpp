#include "demo_server.h"

#include <httplib.h>

#include <chrono>
#include <thread>

namespace kydemo {

namespace {

constexpr const char* kTextType = "text/plain";
constexpr int kStartWaitMs = 5000;

void Hello(const httplib::Request&, httplib::Response& res) {
    res.set_content("hello from the demo server\n", kTextType);
}

void Echo(const httplib::Request& req, httplib::Response& res) {
    res.set_header("X-Demo-Method", req.method);
    res.set_content(req.method + " " + req.path + " received " + std::to_string(req.body.size()) +
                        " bytes: " + req.body + "\n",
                    kTextType);
}

void NotFound(const httplib::Request& req, httplib::Response& res) {
    if (res.status == 404) res.set_content("no such page: " + req.path + "\n", kTextType);
}

}  // namespace

struct DemoServer::Impl {
    httplib::Server server;
    std::thread thread;
    int port = -1;
};

DemoServer::DemoServer() : m_impl(std::make_unique<Impl>()) {
    httplib::Server& server = m_impl->server;
    server.Get("/hello", Hello);
    server.Get("/echo", Echo);
    server.Post("/echo", Echo);
    server.Put("/echo", Echo);
    server.Delete("/echo", Echo);
    server.Patch("/echo", Echo);
    server.set_error_handler(NotFound);
}

DemoServer::~DemoServer() {
    if (!m_impl->thread.joinable()) return;
    m_impl->server.stop();
    m_impl->thread.join();
}

bool DemoServer::Start() {
    m_impl->port = m_impl->server.bind_to_any_port("127.0.0.1");
    if (m_impl->port <= 0) return false;
    m_impl->thread = std::thread([this] { m_impl->server.listen_after_bind(); });
    // stop() only reaches a server that runs, so the destructor could not end one that had not started.
    for (int waited = 0; !m_impl->server.is_running() && waited < kStartWaitMs; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return m_impl->server.is_running();
}

int DemoServer::port() const { return m_impl->port; }

std::string DemoServer::Url(const std::string& path, const std::string& host) const {
    return "http://" + host + ":" + std::to_string(m_impl->port) + path;
}

}  // namespace kydemo
