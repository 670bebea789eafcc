// Percent-escaping of URL parts and signing through the session.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kylibcurl.h"
#include "support/log_capture.h"

namespace kytest {
namespace {

struct EscapeCase {
    std::string in;
    std::string out;
};

class UrlEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(UrlEscape, EscapesAsLibcurlDoes) {
    KYLibCurl session;
    ASSERT_TRUE(session.KYLibCurlInit());
    std::string out = "stale";
    session.KYLibCurlUrlEscape(GetParam().in, out);
    EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(Texts, UrlEscape,
                         ::testing::Values(EscapeCase{"", ""}, EscapeCase{" ", "%20"},
                                           EscapeCase{"a b/c?d=e&f", "a%20b%2Fc%3Fd%3De%26f"},
                                           EscapeCase{"AZaz09-._~", "AZaz09-._~"},
                                           EscapeCase{std::string("a\0b", 3), "a%00b"},
                                           EscapeCase{"\xc3\xa9", "%C3%A9"}));

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// RSA PKCS#1 v1.5 signatures are deterministic, so the session's must verify with the key.
TEST(SessionSign, SignatureVerifiesWithTheKey) {
    kytest::TempDir dir;
    std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_RSA_gen(2048));
    ASSERT_TRUE(key);
    const std::string keyPath = dir.file("key.pem");
    FILE* file = fopen(keyPath.c_str(), "w");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
    fclose(file);

    KYLibCurl session;  // the handle is not needed
    const std::string data = std::string("to be signed\0with a zero", 24);
    std::vector<unsigned char> signature(256);
    unsigned int length = static_cast<unsigned int>(signature.size());
    ASSERT_EQ(session.SignSHA256withRSA(keyPath, data, "", signature.data(), length), 1);
    ASSERT_EQ(length, 256u);

    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_PKEY_CTX* keyCtx = nullptr;
    ASSERT_EQ(EVP_DigestVerifyInit(ctx.get(), &keyCtx, EVP_sha256(), nullptr, key.get()), 1);
    ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(keyCtx, RSA_PKCS1_PADDING), 1);
    EXPECT_EQ(EVP_DigestVerify(ctx.get(), signature.data(), length,
                               reinterpret_cast<const unsigned char*>(data.data()), data.size()),
              1);
}

TEST(SessionSign, AMissingKeyGivesTheFacadesFailure) {
    KYLibCurl session;
    unsigned char signature[512];
    unsigned int length = sizeof(signature);
    EXPECT_EQ(session.SignSHA256withRSA("/nonexistent/key.pem", "data", "", signature, length), 0);
}

}  // namespace
}  // namespace kytest
