// Fault: the reply body buffer cannot grow. This executable puts its own realloc in front of the C
// library's (and of a sanitizer's): armed on one thread, it fails chosen growths there. What must hold: the
// request never reports success with a truncated body, and the session stays usable.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kylibcurl.h"
#include "support/bytes_pattern.h"
#include "support/log_capture.h"
#include "support/reply_body.h"
#include "support/test_server.h"

namespace {

// Failure plan of the calling thread: fail every growth above a size, or the n-th call from now.
thread_local size_t t_failAbove = 0;    // 0: no size limit
thread_local long t_failCountdown = 0;  // 0: no countdown
thread_local long t_injected = 0;

using ReallocFn = void* (*)(void*, size_t);
ReallocFn g_nextRealloc = nullptr;

}  // namespace

// Left uninstrumented: ThreadSanitizer calls realloc while it sets up a new thread, before that thread
// can run instrumented code.
extern "C" __attribute__((no_sanitize("thread"))) void* realloc(void* ptr, size_t size) {
    ReallocFn next = __atomic_load_n(&g_nextRealloc, __ATOMIC_ACQUIRE);
    if (!next) {
        next = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
        __atomic_store_n(&g_nextRealloc, next, __ATOMIC_RELEASE);
    }
    const bool fail =
        (t_failAbove != 0 && size > t_failAbove) || (t_failCountdown > 0 && --t_failCountdown == 0);
    if (fail) {
        ++t_injected;
        return nullptr;
    }
    return next(ptr, size);
}

namespace {

constexpr size_t kMiB = 1 << 20;

// Arms the failure plan of this thread for the life of the object.
class FailingRealloc {
  public:
    static FailingRealloc Above(size_t size) { return FailingRealloc(size, 0); }
    static FailingRealloc Nth(long n) { return FailingRealloc(0, n); }
    ~FailingRealloc() {
        t_failAbove = 0;
        t_failCountdown = 0;
    }
    long injected() const { return t_injected; }

  private:
    FailingRealloc(size_t above, long countdown) {
        t_injected = 0;
        t_failAbove = above;
        t_failCountdown = countdown;
    }
};

using kytest::Body;
using kytest::Pattern;

class ReplyGrowthFault : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.KYLibCurlInit()); }

    bool Get(const std::string& path) {
        return session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url(path), nullptr, 0, true, nullptr);
    }

    // The session serves a full request afterwards: the fault left nothing behind.
    void ExpectUsable(size_t length) {
        ASSERT_TRUE(Get("/bytes/" + std::to_string(length)));
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(Body(session), Pattern(length));
    }

    kytest::LogCapture log{2};
    kytest::TestServer server;
    KYLibCurl session;
};

TEST_F(ReplyGrowthFault, BodyThatCannotGrowFailsTheRequestAndKeepsWhatArrived) {
    const size_t announced = 4 * kMiB;
    bool ok = true;
    long injected = 0;
    {
        FailingRealloc plan = FailingRealloc::Above(kMiB);
        ok = Get("/bytes/" + std::to_string(announced));
        injected = plan.injected();
    }
    EXPECT_FALSE(ok) << "a truncated body reported as success";
    EXPECT_GT(injected, 0);
    EXPECT_EQ(session.m_httpRespCode, 200);  // read, since the write error was not tolerated
    const std::string kept = Body(session);
    EXPECT_LE(kept.size(), kMiB);
    EXPECT_EQ(kept, Pattern(kept.size()));
    size_t length = 0;
    const char* data = session.GetHttpResponse(length, false);
    if (data) {
        EXPECT_EQ(data[length], '\0');
    }
    EXPECT_TRUE(log.contains("failed to send http request"));
    EXPECT_EQ(log.count("failed to send http request. err:[CURL_WRITE_ERROR] ErrorStr:[" +
                        std::string(curl_easy_strerror(CURLE_WRITE_ERROR)) +
                        "].  Ignoring this error and moving on."),
              0u);

    ExpectUsable(announced);
}

TEST_F(ReplyGrowthFault, PlainPerformReportsTheTruncationToo) {
    ASSERT_TRUE(session.KYCurlSetUrl(server.url("/bytes/" + std::to_string(2 * kMiB)).c_str()));
    bool ok = true;
    {
        FailingRealloc plan = FailingRealloc::Above(kMiB / 2);
        ok = session.KYCurlPostSubmitForm();
    }
    EXPECT_FALSE(ok);
    EXPECT_LE(Body(session).size(), kMiB / 2);
    session.KYLibCurlFreeHttpHeaderList();
    ASSERT_TRUE(session.KYCurlPostSubmitForm());
    EXPECT_EQ(Body(session), Pattern(2 * kMiB));
}

// Every growth on the performing thread fails in turn, libcurl's own included: whichever fails, the
// request either delivers the whole body or fails, and the session serves the next request.
TEST_F(ReplyGrowthFault, EachGrowthFailingInTurnNeverGivesATruncatedSuccess) {
    const size_t length = 256 * 1024;
    const std::string whole = Pattern(length);
    long turn = 1;
    for (; turn <= 400; ++turn) {
        bool ok = false;
        long injected = 0;
        {
            FailingRealloc plan = FailingRealloc::Nth(turn);
            ok = Get("/bytes/" + std::to_string(length));
            injected = plan.injected();
        }
        if (ok) {
            EXPECT_EQ(Body(session), whole) << "turn " << turn;
        }
        ASSERT_NO_FATAL_FAILURE(ExpectUsable(length)) << "turn " << turn;
        if (injected == 0) break;  // the request no longer reaches the failing call: every turn was tried
    }
    EXPECT_LE(turn, 400) << "more growths per request than the test allows for";
    RecordProperty("turns", static_cast<int>(turn));
}

}  // namespace
