// One accepted connection of the test server, plain or TLS, read and written without ever blocking past
// the server's stop.
#ifndef KYTEST_CONNECTION_H
#define KYTEST_CONNECTION_H

#include <openssl/ssl.h>

#include <atomic>
#include <cstddef>
#include <string>

namespace kytest {

class Connection {
  public:
    // fd stays owned by the caller (the server closes it); ctx is null for plain HTTP.
    Connection(int fd, SSL_CTX* ctx, const std::atomic<bool>& stopping);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The TLS handshake; always true for plain HTTP.
    bool handshake();
    // Appends what arrives to buffer: false on end of stream, failure or stop.
    bool readSome(std::string& buffer);
    bool writeAll(const std::string& data);
    // The server name (SNI) the TLS client sent; empty when none or plain HTTP.
    std::string serverName() const;
    // Sends the TLS close notification; the socket itself is closed by the owner.
    void closeGracefully();

  private:
    enum class Wait { Read, Write };
    bool waitFor(Wait wait);
    bool waitAfterTlsResult(int result);

    int m_fd;
    SSL* m_ssl = nullptr;
    const std::atomic<bool>& m_stopping;
};

}  // namespace kytest

#endif
