// A throw-away certificate authority and a server certificate it signed, made in memory for one HTTPS
// test server.
#ifndef KYTEST_TLS_IDENTITY_H
#define KYTEST_TLS_IDENTITY_H

#include <openssl/ssl.h>

#include <string>

namespace kytest {

class TlsIdentity {
  public:
    // A server certificate for dnsName alone, or for localhost and 127.0.0.1 when it is empty.
    explicit TlsIdentity(const std::string& dnsName = std::string());
    ~TlsIdentity();
    TlsIdentity(const TlsIdentity&) = delete;
    TlsIdentity& operator=(const TlsIdentity&) = delete;

    // Null when the keys or certificates could not be made.
    SSL_CTX* context() const { return m_context; }
    // The authority's certificate in PEM form.
    const std::string& caPem() const { return m_caPem; }

  private:
    SSL_CTX* m_context = nullptr;
    std::string m_caPem;
};

// Writes a self-signed certificate and its private key in PEM form to the two files: a client identity,
// for a server that does not ask for one. False when they could not be made or written.
bool WriteSelfSignedIdentity(const std::string& certFile, const std::string& keyFile);

}  // namespace kytest

#endif
