// RSA PKCS#1 v1.5 signatures over SHA-256 with a PEM private key read from a file.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <memory>

#include "CurlWrapper.h"

namespace {

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct DigestFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

// Hands the caller's passphrase to the PEM reader. Without one it reports that none is available, so that
// OpenSSL never falls back to prompting on the terminal.
int passphraseCallback(char* buf, int size, int, void* userdata) {
    const char* passphrase = static_cast<const char*>(userdata);
    size_t length = std::strlen(passphrase);
    if (length == 0 || length > static_cast<size_t>(size)) return -1;
    std::memcpy(buf, passphrase, length);  // NOLINT(bugprone-not-null-terminated-result): read by length
    return static_cast<int>(length);
}

KeyPtr readRsaKey(const char* keyPath, const char* passphrase) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(keyPath, "r"));
    if (!bio) return nullptr;
    KeyPtr key(
        PEM_read_bio_PrivateKey(bio.get(), nullptr, passphraseCallback, const_cast<char*>(passphrase)));
    if (!key || !EVP_PKEY_is_a(key.get(), "RSA")) return nullptr;
    return key;
}

bool signDigest(EVP_PKEY* key, const char* data, int dataLen, unsigned char* signature,
                size_t* signatureLen) {
    std::unique_ptr<EVP_MD_CTX, DigestFree> ctx(EVP_MD_CTX_new());
    if (!ctx) return false;
    EVP_PKEY_CTX* keyCtx = nullptr;
    if (EVP_DigestSignInit(ctx.get(), &keyCtx, EVP_sha256(), nullptr, key) != 1) return false;
    if (EVP_PKEY_CTX_set_rsa_padding(keyCtx, RSA_PKCS1_PADDING) != 1) return false;
    return EVP_DigestSign(ctx.get(), signature, signatureLen, reinterpret_cast<const unsigned char*>(data),
                          static_cast<size_t>(dataLen)) == 1;
}

// A null signature asks only for the size; a non-zero *signatureLen is the capacity of the buffer.
int signInto(EVP_PKEY* key, const char* data, int dataLen, unsigned char* signature,
             unsigned int* signatureLen) {
    unsigned int keySize = static_cast<unsigned int>(EVP_PKEY_get_size(key));
    if (!signature) {
        *signatureLen = keySize;
        return 1;
    }
    if (*signatureLen != 0 && *signatureLen < keySize) return 0;
    size_t written = keySize;
    if (!signDigest(key, data, dataLen, signature, &written)) return 0;
    *signatureLen = static_cast<unsigned int>(written);
    return 1;
}

}  // namespace

int CurlWrapper::SignSHA256withRSA(const char* keyPath, const char* data, int dataLen, const char* passphrase,
                                   unsigned char* signature, unsigned int* signatureLen) {
    if (!keyPath || !data || dataLen < 0 || !signatureLen) return 0;
    // Errors raised while reading the key or signing stay here; the caller's own queue is kept.
    ERR_set_mark();
    KeyPtr key = readRsaKey(keyPath, passphrase ? passphrase : "");
    int result = key ? signInto(key.get(), data, dataLen, signature, signatureLen) : 0;
    ERR_pop_to_mark();
    return result;
}
