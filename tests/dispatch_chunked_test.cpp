// Request dispatch in chunked mode: with "Transfer-Encoding: chunked" in the request header list every
// method that sends a body reads it from the caller's read callback, no earlier body reaches the wire,
// and the mode ends with the list that held its line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/test_server.h"
#include "support/transfer_callbacks.h"

namespace kytest {
namespace {

constexpr char kChunkedLine[] = "Transfer-Encoding: chunked";

// The reader hands out its text a few bytes a call, so that a body goes out as several chunks.
constexpr size_t kPiece = 5;

class ChunkedDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(session.KYLibCurlInit());
        ASSERT_TRUE(session.KYLibCurlSetCallbackReadFunction(&kytest::BodySource::Read));
        ASSERT_TRUE(session.KYLibCurlSetReadData(&reader));
        // A guard against the hang of a body that never comes.
        ASSERT_TRUE(session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, 20000));
    }

    // Sends one request in chunked mode, the list kept, with the reader holding text.
    bool SendChunked(_http_req_type_ type, const std::string& text, const void* data = nullptr,
                     size_t len = 0) {
        reader = kytest::BodySource{text, 0, kPiece};
        if (!session.m_chunked && !session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, kChunkedLine)) return false;
        return session.KYLibCurlSendHttpReq(type, server.url("/echo"), data, len, false, nullptr);
    }

    kytest::LogCapture log;
    kytest::TestServer server;
    KYLibCurl session;
    kytest::BodySource reader;
};

// Whatever request came before (sent with fresh lists, so not chunked), each method with a body sends
// the reader's bytes, chunk by chunk, under its own name.
TEST_F(ChunkedDispatch, EveryMethodWithABodyReadsItFromTheCallback) {
    const _http_req_type_ before[] = {HTTP_REQ_GET, HTTP_REQ_HEAD, HTTP_REQ_POST};
    const _http_req_type_ types[] = {HTTP_REQ_POST, HTTP_REQ_PUT, HTTP_REQ_PATCH, HTTP_REQ_DELETE};
    for (_http_req_type_ previous : before) {
        for (_http_req_type_ type : types) {
            const std::string method = KYLibCurl::GetHttpReqTypeString(type);
            SCOPED_TRACE(method + " after " + KYLibCurl::GetHttpReqTypeString(previous));
            ASSERT_TRUE(
                session.KYLibCurlSendHttpReq(previous, server.url("/echo"), "previous=1", 10, true, nullptr));
            const std::string text = "chunked body of " + method;
            ASSERT_TRUE(SendChunked(type, text, "ignored", 7));
            const kytest::ReceivedRequest request = server.lastRequest();
            EXPECT_EQ(request.method, method);
            EXPECT_EQ(request.header("Transfer-Encoding"), "chunked");
            EXPECT_EQ(request.headerCount("Transfer-Encoding"), 1u);
            EXPECT_FALSE(request.hasHeader("Content-Length"));
            EXPECT_EQ(request.body, text);
            // The exact bytes: five-byte chunks, then the last chunk.
            const size_t bodyStart = request.raw.find("\r\n\r\n") + 4;
            EXPECT_EQ(request.raw.substr(bodyStart, 10), "5\r\nchunk\r\n");
            EXPECT_EQ(request.raw.substr(request.raw.size() - 5), "0\r\n\r\n");
            EXPECT_EQ(session.m_httpRespCode, 200);
        }
    }
}

// A null data pointer with a length is no missing body here: the body is the callback's.
TEST_F(ChunkedDispatch, NullDataWithALengthReadsTheCallback) {
    for (_http_req_type_ type : {HTTP_REQ_POST, HTTP_REQ_PUT}) {
        SCOPED_TRACE(KYLibCurl::GetHttpReqTypeString(type));
        ASSERT_TRUE(SendChunked(type, "from the callback", nullptr, 9));
        EXPECT_EQ(server.lastRequest().body, "from the callback");
    }
}

// The caller may free a body once its request call has returned. A later request in chunked mode must not
// send those bytes, nor may any request after it.
TEST_F(ChunkedDispatch, AFreedEarlierBodyNeverReachesTheServer) {
    const std::string earlier = "earlier=body&of=the&caller";
    auto heapBody = std::make_unique<char[]>(earlier.size());
    memcpy(heapBody.get(), earlier.data(), earlier.size());
    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_POST, server.url("/echo"), heapBody.get(),
                                             earlier.size(), true, nullptr));
    EXPECT_EQ(server.lastRequest().body, earlier);
    memset(heapBody.get(), 'X', earlier.size());
    heapBody.reset();

    ASSERT_TRUE(SendChunked(HTTP_REQ_POST, "from the reader"));
    EXPECT_EQ(server.lastRequest().body, "from the reader");
    ASSERT_TRUE(SendChunked(HTTP_REQ_PUT, "again from the reader"));
    EXPECT_EQ(server.lastRequest().body, "again from the reader");

    // Fresh lists end chunked mode: the caller's body goes out again, with its length.
    ASSERT_TRUE(
        session.KYLibCurlSendHttpReq(HTTP_REQ_POST, server.url("/echo"), "plain=1", 7, true, nullptr));
    const kytest::ReceivedRequest plain = server.lastRequest();
    EXPECT_EQ(plain.body, "plain=1");
    EXPECT_EQ(plain.header("Content-Length"), "7");
    EXPECT_FALSE(plain.hasHeader("Transfer-Encoding"));
    for (const kytest::ReceivedRequest& request : server.requests())
        EXPECT_EQ(request.raw.find("XXXX"), std::string::npos) << request.raw;
}

TEST_F(ChunkedDispatch, ReleasingTheListEndsChunkedMode) {
    ASSERT_TRUE(SendChunked(HTTP_REQ_PUT, "chunked"));
    EXPECT_TRUE(session.m_chunked);
    session.KYLibCurlFreeHttpHeaderList();
    EXPECT_FALSE(session.m_chunked);

    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_PUT, server.url("/echo"), "put=1", 5, false, nullptr));
    EXPECT_EQ(server.lastRequest().body, "put=1");
    EXPECT_EQ(server.lastRequest().header("Content-Length"), "5");

    ASSERT_TRUE(SendChunked(HTTP_REQ_PATCH, "chunked again"));
    EXPECT_EQ(server.lastRequest().body, "chunked again");
    session.KYLibCurlDeInit();
    EXPECT_FALSE(session.m_chunked);
}

}  // namespace
}  // namespace kytest
