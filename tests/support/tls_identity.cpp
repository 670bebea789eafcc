#include "support/tls_identity.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace kytest {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

constexpr long kValiditySeconds = 7L * 24 * 3600;

bool setName(X509_NAME* name, const char* commonName) {
    const auto* text = reinterpret_cast<const unsigned char*>(commonName);
    return X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>("kytest"), -1, -1, 0) == 1 &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text, -1, -1, 0) == 1;
}

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension) return false;
    bool added = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

bool setSerial(X509* cert) {
    unsigned char bytes[8];
    if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
    uint64_t serial = 0;
    for (unsigned char byte : bytes) serial = serial << 8 | byte;
    return ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial >> 1) == 1;
}

// A version 3 certificate for key, with the name and validity set; issuer null means self-signed.
Cert newCertificate(EVP_PKEY* key, const char* commonName, X509* issuer) {
    Cert cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1 || !setSerial(cert.get())) return nullptr;
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600)) return nullptr;
    if (!X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds)) return nullptr;
    if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;
    if (!setName(X509_get_subject_name(cert.get()), commonName)) return nullptr;
    X509_NAME* issuerName = X509_get_subject_name(issuer ? issuer : cert.get());
    if (X509_set_issuer_name(cert.get(), issuerName) != 1) return nullptr;
    return cert;
}

Cert makeAuthority(EVP_PKEY* key) {
    Cert cert = newCertificate(key, "kytest throw-away CA", nullptr);
    if (!cert) return nullptr;
    X509* self = cert.get();
    if (!addExtension(self, self, NID_basic_constraints, "critical,CA:TRUE") ||
        !addExtension(self, self, NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !addExtension(self, self, NID_subject_key_identifier, "hash") ||
        X509_sign(self, key, EVP_sha256()) == 0) {
        return nullptr;
    }
    return cert;
}

Cert makeServerCertificate(EVP_PKEY* key, X509* authority, EVP_PKEY* authorityKey,
                           const std::string& dnsName) {
    // The name a client checks is the subject's alternative name; a common name is at most 64 bytes long.
    const std::string commonName = dnsName.empty() ? "localhost" : "kytest destination";
    const std::string altNames = dnsName.empty() ? "DNS:localhost,IP:127.0.0.1" : "DNS:" + dnsName;
    Cert cert = newCertificate(key, commonName.c_str(), authority);
    if (!cert) return nullptr;
    X509* leaf = cert.get();
    if (!addExtension(leaf, authority, NID_basic_constraints, "critical,CA:FALSE") ||
        !addExtension(leaf, authority, NID_key_usage, "critical,digitalSignature,keyEncipherment") ||
        !addExtension(leaf, authority, NID_ext_key_usage, "serverAuth") ||
        !addExtension(leaf, authority, NID_subject_alt_name, altNames.c_str()) ||
        !addExtension(leaf, authority, NID_subject_key_identifier, "hash") ||
        !addExtension(leaf, authority, NID_authority_key_identifier, "keyid:always") ||
        X509_sign(leaf, authorityKey, EVP_sha256()) == 0) {
        return nullptr;
    }
    return cert;
}

std::string toPem(X509* cert) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return std::string();
    char* data = nullptr;
    long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

SSL_CTX* newServerContext(X509* cert, EVP_PKEY* key) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context) return nullptr;
    // The connection retries a write with a moved buffer after WANT_WRITE, and accepts partial writes.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate(context, cert) != 1 || SSL_CTX_use_PrivateKey(context, key) != 1 ||
        SSL_CTX_check_private_key(context) != 1) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

}  // namespace

TlsIdentity::TlsIdentity(const std::string& dnsName) {
    Key authorityKey(EVP_EC_gen("P-256"));
    Key serverKey(EVP_EC_gen("P-256"));
    if (!authorityKey || !serverKey) return;
    Cert authority = makeAuthority(authorityKey.get());
    if (!authority) return;
    Cert server = makeServerCertificate(serverKey.get(), authority.get(), authorityKey.get(), dnsName);
    if (!server) return;
    m_caPem = toPem(authority.get());
    if (m_caPem.empty()) return;
    m_context = newServerContext(server.get(), serverKey.get());
}

TlsIdentity::~TlsIdentity() {
    if (m_context) SSL_CTX_free(m_context);
}

bool WriteSelfSignedIdentity(const std::string& certFile, const std::string& keyFile) {
    Key key(EVP_EC_gen("P-256"));
    if (!key) return false;
    Cert cert = newCertificate(key.get(), "kytest client", nullptr);
    if (!cert || X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return false;
    FILE* certOut = fopen(certFile.c_str(), "w");
    FILE* keyOut = fopen(keyFile.c_str(), "w");
    const bool written = certOut && keyOut && PEM_write_X509(certOut, cert.get()) == 1 &&
                         PEM_write_PrivateKey(keyOut, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (certOut) fclose(certOut);
    if (keyOut) fclose(keyOut);
    return written;
}

}  // namespace kytest
