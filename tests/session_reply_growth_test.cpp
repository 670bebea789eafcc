// The reply buffer when it cannot grow: the transfer stops, the request fails, the session stays usable.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/process_kit.h"
#include "support/reply_body.h"
#include "support/test_server.h"

namespace kytest {
namespace {

TEST(ReplyGrowth, CallbackRefusesASizeProductThatOverflows) {
    KYLibCurl session;
    char byte = 'x';
    EXPECT_EQ(KYLibCurl::libcurl_callback(&byte, SIZE_MAX / 2 + 1, 2, &session), 0u);
    EXPECT_EQ(session.m_respData, nullptr);
    EXPECT_EQ(session.m_respSize, 0u);
}

TEST(ReplyGrowth, CallbackRefusesAGrowthPastTheAddressRange) {
    KYLibCurl session;
    char seed[] = "ab";
    ASSERT_EQ(KYLibCurl::libcurl_callback(seed, 1, 2, &session), 2u);
    char* before = session.m_respData;

    session.m_respSize = SIZE_MAX - 2;  // pretend: one more byte and its zero no longer fit
    char more[] = "cd";
    EXPECT_EQ(KYLibCurl::libcurl_callback(more, 1, 2, &session), 0u);
    EXPECT_EQ(session.m_respData, before);
    session.m_respSize = 2;
    EXPECT_STREQ(session.m_respData, "ab");
}

TEST(ReplyGrowth, CallbackIgnoresEmptyWritesAndAMissingSession) {
    KYLibCurl session;
    char byte = 'x';
    EXPECT_EQ(KYLibCurl::libcurl_callback(&byte, 0, 1, &session), 0u);
    EXPECT_EQ(KYLibCurl::libcurl_callback(&byte, 1, 0, &session), 0u);
    EXPECT_EQ(KYLibCurl::libcurl_callback(&byte, 1, 1, nullptr), 0u);
    EXPECT_EQ(session.m_respData, nullptr);
}

TEST(ReplyGrowth, CallbackGrowsExactlyAndKeepsAZeroAfterTheData) {
    KYLibCurl session;
    char first[] = "abc";
    char second[] = "de";
    EXPECT_EQ(KYLibCurl::libcurl_callback(first, 1, 3, &session), 3u);
    EXPECT_EQ(KYLibCurl::libcurl_callback(second, 2, 1, &session), 2u);
    ASSERT_EQ(session.m_respSize, 5u);
    EXPECT_EQ(std::string(session.m_respData, 6), std::string("abcde\0", 6));
}

// True when the log file holds the message.
bool LogHolds(const std::string& path, const char* message) {
    FILE* log = fopen(path.c_str(), "r");
    if (!log) return false;
    char text[8192] = {};
    size_t read = fread(text, 1, sizeof(text) - 1, log);
    fclose(log);
    return strstr(std::string(text, read).c_str(), message) != nullptr;
}

// Exit codes of the child below.
enum ChildResult {
    kChildPassed = 0,
    kSucceededDespiteTruncation = 10,
    kBufferNotTerminated,
    kNothingKept,
    kNotUsableAfterwards,
    kSetupFailed,
    kLineMissing
};

int DownloadUnderMemoryLimit(const std::string& bigUrl, const std::string& smallUrl,
                             const std::string& logPath) {
    KYLibCurl session;
    if (!session.KYLibCurlInit() || !session.KYCurlSetUrl(bigUrl.c_str())) return kSetupFailed;
    if (session.KYCurlPostSubmitForm()) return kSucceededDespiteTruncation;
    if (session.m_respSize == 0 || !session.m_respData) return kNothingKept;
    if (session.m_respData[session.m_respSize] != '\0') return kBufferNotTerminated;
    if (!LogHolds(logPath,
                  "KYLibCurl::KYCurlPostSubmitForm: curl_easy_perform failed err:[Failed writing "
                  "received data to disk/application]"))
        return kLineMissing;

    session.KYLibCurlFreeHttpHeaderList();
    if (!session.KYCurlSetUrl(smallUrl.c_str()) || !session.KYCurlPostSubmitForm())
        return kNotUsableAfterwards;
    return kytest::Body(session) == "abcd" ? kChildPassed : kNotUsableAfterwards;
}

// The child caps its address space a little above what it uses and downloads more than that; the server
// stays in the parent, outside the cap.
TEST(ReplyGrowth, ABodyLargerThanMemoryFailsTheRequestAndTheSessionStaysUsable) {
#if KYTEST_SANITIZED
    GTEST_SKIP() << "the sanitizers' own mappings do not fit under a tight address-space limit";
#endif
    kytest::TestServer server;
    kytest::LogCapture log;
    const std::string bigUrl = server.url("/bytes/" + std::to_string(128u << 20));
    const std::string smallUrl = server.url("/bytes/4");
    EXPECT_EQ(kytest::RunInChild([&] { return DownloadUnderMemoryLimit(bigUrl, smallUrl, log.path()); },
                                 {64u << 20}),
              kChildPassed);
}

}  // namespace
}  // namespace kytest
