// Fault: the reply body buffer cannot grow. This executable puts its own realloc in front of the C
// library's (and of a sanitizer's): armed on one thread, it fails chosen growths there. What must hold: the
// request never reports success with a truncated body, and the session stays usable. The same realloc
// also counts the large growths of its thread, which shows how the buffer grows: a few times per body,
// never beyond twice what arrived, however large a length the server announces.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <string>

#include "kylibcurl.h"
#include "support/bytes_pattern.h"
#include "support/log_capture.h"
#include "support/reply_body.h"
#include "support/scripted_server.h"
#include "support/test_server.h"

namespace {

// Failure plan of the calling thread: fail every growth above a size, or the n-th call from now.
thread_local size_t t_failAbove = 0;    // 0: no size limit
thread_local long t_failCountdown = 0;  // 0: no countdown
thread_local long t_injected = 0;
// What the calling thread asked of realloc in blocks of at least kLargeGrowth bytes.
constexpr size_t kLargeGrowth = size_t{16} * 1024;
thread_local long t_largeGrowths = 0;
thread_local size_t t_largestGrowth = 0;

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
    if (size >= kLargeGrowth) {
        ++t_largeGrowths;
        if (size > t_largestGrowth) t_largestGrowth = size;
    }
    const bool fail =
        (t_failAbove != 0 && size > t_failAbove) || (t_failCountdown > 0 && --t_failCountdown == 0);
    if (fail) {
        ++t_injected;
        return nullptr;
    }
    return next(ptr, size);
}

namespace kytest {
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
    const size_t length = size_t{256} * 1024;
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

// The large growths one request makes on this thread, its own and libcurl's.
struct Growths {
    long count;
    size_t largest;
};

class GrowthShape : public ReplyGrowthFault {
  protected:
    Growths Measure(const std::string& url, bool& ok) {
        t_largeGrowths = 0;
        t_largestGrowth = 0;
        ok = session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr);
        return {t_largeGrowths, t_largestGrowth};
    }
    // What the block holds beyond the body and its zero byte.
    size_t Spare() {
        size_t length = 0;
        char* data = session.GetHttpResponse(length, false);
        return data ? malloc_usable_size(data) - (length + 1) : 0;
    }
};

// Growing by each piece moved a body once per 16 KiB: 1,024 growths for 16 MiB, and as many moves of the
// whole block when another thread's mappings lie beside it.
TEST_F(GrowthShape, ABodyGrowsAFewTimesAndEndsExact) {
    const size_t length = 16 * kMiB;
    kytest::ScriptedServer chunked(
        {kytest::ScriptedAnswer::Send(kytest::ChunkedReplyWithTrailers(Pattern(length), ""))});
    const struct {
        const char* name;
        std::string url;
        size_t largest;  // the largest growth allowed
    } cases[] = {
        {"announced length", server.url("/bytes/" + std::to_string(length)), length + 1},
        {"no length (chunked)", chunked.url("/"), 2 * (length + 1)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = false;
        const Growths growths = Measure(c.url, ok);
        ASSERT_TRUE(ok);
        EXPECT_EQ(Body(session), Pattern(length));
        EXPECT_LE(growths.count, 24);
        EXPECT_LE(growths.largest, c.largest);
        EXPECT_LT(Spare(), 4096u);
    }
}

// A server's length is not trusted blindly: one far beyond what arrives is never reserved, and the
// transfer is judged as any that falls short of its length.
TEST_F(GrowthShape, AnAnnouncedLengthBeyondWhatArrivesIsNotReserved) {
    const size_t sent = kMiB;
    for (const char* announced : {"9223372036854775807", "104857600"}) {
        SCOPED_TRACE(announced);
        kytest::ScriptedServer lying({kytest::ScriptedAnswer::Send(
            std::string("HTTP/1.1 200 OK\r\nContent-Length: ") + announced + "\r\n\r\n" + Pattern(sent))});
        bool ok = true;
        const Growths growths = Measure(lying.url("/"), ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(session.m_httpRespCode, 200);
        EXPECT_EQ(Body(session), Pattern(sent));
        EXPECT_LE(growths.largest, 2 * (sent + 1));
        EXPECT_LT(Spare(), 4096u);
    }
    ExpectUsable(4 * kMiB);
}

}  // namespace
}  // namespace kytest
