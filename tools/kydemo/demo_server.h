// The HTTP server the demo talks to: 127.0.0.1, an ephemeral port, a handful of fixed pages.
#ifndef KYDEMO_DEMO_SERVER_H
#define KYDEMO_DEMO_SERVER_H

#include <memory>
#include <string>

namespace kydemo {

// Pages:
//   GET/HEAD /hello                     200 "hello from the demo server\n"
//   GET POST PUT DELETE PATCH /echo     200, the method, the byte count and the body; header X-Demo-Method
//   anything else                       404 "no such page: <path>\n"
class DemoServer {
  public:
    DemoServer();
    ~DemoServer();  // stops serving and joins the server thread
    DemoServer(const DemoServer&) = delete;
    DemoServer& operator=(const DemoServer&) = delete;

    // Binds and starts serving; false when no port could be bound.
    bool Start();
    int port() const;
    // "http://<host>:<port><path>".
    std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace kydemo

#endif
