// Hostile text at every public entry point that takes text: empty, very long, control bytes, bytes from
// 0x80 up, format directives, a URL of 1 MiB, a header line with CR LF inside, a line feed followed by a
// line that reads like the logger's own. What must hold: each call ends with a clear success or failure
// (a failed request has logged why), never a crash; the session serves a plain request afterwards; no
// configured text puts a header of its own on the wire; and every log line stays one whole, bounded line
// of the logger, whichever path wrote it.
#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

#include "KyFwControl.h"
#include "kylibcurl.h"
#include "support/fresh_firewall.h"
#include "support/log_capture.h"
#include "support/refused_port.h"
#include "support/test_server.h"
#include "support/working_directory.h"

namespace kytest {
namespace {

constexpr size_t kMiB = 1 << 20;
const char kInjected[] = "X-Injected";
const char kForgedTag[] = "Forged";
// A line holds at most three texts of 4 KiB, each at most four times as long once escaped.
constexpr size_t kLineBound = size_t{64} << 10;

struct Hostile {
    const char* name;
    std::string text;
};

std::string Bytes(int first, int last) {
    std::string bytes;
    for (int byte = first; byte <= last; ++byte) bytes += static_cast<char>(byte);
    return bytes;
}

// count fields "<name>=<i>" joined by '&'.
std::string Fields(const char* name, int count) {
    std::string fields;
    for (int i = 0; i < count; ++i) fields += (i ? "&" : "") + std::string(name) + "=" + std::to_string(i);
    return fields;
}

const std::vector<Hostile>& HostileTexts() {
    static const std::vector<Hostile> texts = {
        {"empty", ""},
        {"controls", Bytes(0x01, 0x1F)},
        {"high bytes", Bytes(0x80, 0xFF)},
        {"format directives", "%s%s%n%x%99999999d%"},
        {"long", std::string(size_t{64} << 10, 'a')},
        {"one MiB", std::string(kMiB, 'u')},
        {"CR LF header", std::string("X-Hostile: 1\r\n") + kInjected + ": yes"},
        {"LF header", std::string("X-Hostile: 2\n") + kInjected + ": yes"},
        {"CR LF at the end", "X-Hostile: 3\r\n"},
        {"forged log line", std::string("\n2031-01-02 03:04:05.678 1 -1 ") + kForgedTag + ": forged\n"},
        {"terminal controls", "\x1b[2J\x1b]0;title\x07\x7f\x08\r"},
        {"many fields without a value", std::string(kMiB / 2, '&') + Fields("a", 1)},
        {"many credential fields", Fields("token", 40000)},
        {"credential forms cut short", "Basic dTE6cHc= \"cookie\": \"x\" Bearer\nCookie: a\r\nbasic"},
    };
    return texts;
}

bool IsSuccessStatus(long status) { return status >= 200 && status <= 299; }

class HostileInput : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.KYLibCurlInit()); }

    // Every line written since the log was last cleared is one whole line of the logger (no text started
    // a line of its own, none reads like a line it did not write) and bounded.
    void ExpectIntactLines(const std::string& what) {
        for (const kytest::LogLine& line : log.lines()) {
            EXPECT_FALSE(line.level.empty()) << what << ": " << line.message.substr(0, 200);
            EXPECT_NE(line.tag, kForgedTag) << what;
            EXPECT_EQ(line.message.find_first_of("\r\n"), std::string::npos) << what;
            EXPECT_LE(line.message.size(), kLineBound) << what;
        }
    }

    // True when a line's message starts with start.
    bool Wrote(const std::string& start) const {
        for (const kytest::LogLine& line : log.lines())
            if (line.message.rfind(start, 0) == 0) return true;
        return false;
    }

    // A request ended clearly: success with a 2xx status, or failure with at least one failure line
    // written since the log was last cleared.
    void ExpectClearEnd(bool ok, const std::string& what) {
        ExpectIntactLines(what);
        if (ok) {
            EXPECT_TRUE(IsSuccessStatus(session.m_httpRespCode)) << what << ": " << session.m_httpRespCode;
        } else {
            bool failureLine = false;
            for (const kytest::LogLine& line : log.lines()) failureLine |= line.level == "-1";
            EXPECT_TRUE(failureLine) << what << ": failed without saying why";
        }
        log.clear();
    }

    // The session still serves a plain request, and nothing injected reached the server so far.
    void ExpectUsableAndClean(const std::string& what) {
        EXPECT_TRUE(
            session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/echo"), nullptr, 0, true, nullptr))
            << what;
        for (const kytest::ReceivedRequest& request : server.requests())
            EXPECT_EQ(request.raw.find(kInjected), std::string::npos) << what << ":\n"
                                                                      << request.raw.substr(0, 400);
        server.clearRequests();
        ExpectIntactLines(what);
        log.clear();
    }

    // Cookie jars with hostile names are written into the current directory: make it a scratch one.
    kytest::TempDir m_scratch;
    kytest::WorkingDirectory m_inScratch{m_scratch.path()};
    kytest::LogCapture log{2};
    kytest::TestServer server;
    KYLibCurl session;
    kytest::FreshFirewall firewall;  // last: reset before SetUp and right after TearDown
};

// A host label longer than 63 characters is refused without a name query, whatever follows it.
const std::string kUnresolvableLabel(64, 'h');

// Every request entry point, with the hostile text as the query, in the host, as the port and as the
// scheme.
TEST_F(HostileInput, RequestUrlsEndClearly) {
    const std::string local = "127.0.0.1:" + std::to_string(server.port());
    for (const Hostile& hostile : HostileTexts()) {
        const std::string urls[] = {
            server.url("/echo?q=") + hostile.text, "http://" + kUnresolvableLabel + hostile.text + "/x",
            "http://127.0.0.1:" + hostile.text + "/x", hostile.text + "://" + local + "/"};
        for (const std::string& url : urls) {
            const std::string what = std::string(hostile.name) + " in " + url.substr(0, 24);
            ExpectClearEnd(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, nullptr), what);
            ExpectClearEnd(session.KYLibCurlSendHttpReq(HTTP_REQ_POST, url.c_str(), url.data(), url.size(),
                                                        true, nullptr),
                           what);
            ExpectClearEnd(session.KYLibCurlSendHttpReqLog(HTTP_REQ_PUT, url, url.c_str(), url.size(), true,
                                                           true, nullptr),
                           what);
            ExpectClearEnd(
                session.KYLibCurlSendHttpReq2(HTTP_REQ_PATCH, url.c_str(), nullptr, 0, true, nullptr, true),
                what);
            ExpectClearEnd(session.KYCurlSetUrl(url.c_str()) && session.KYCurlPostSubmitForm(), what);
            ExpectUsableAndClean(what);
        }
    }
}

// Hostile client names on both routes, and hostile URLs through a tunnel, the probe included.
TEST_F(HostileInput, RoutedRequestsEndClearly) {
    for (const Hostile& hostile : HostileTexts()) {
        const std::string what = hostile.name;
        // The ordinary route reaches this URL directly, so its host is the server's address.
        const std::string url = server.url("/echo?q=") + hostile.text;
        for (const std::string& client : {hostile.text, "a*" + hostile.text + "*1*2"}) {
            ExpectClearEnd(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, client.c_str()),
                           what);
            ExpectClearEnd(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true,
                                                         client.c_str(), true),
                           what);
        }
        const std::string hostileHostUrl = "http://" + hostile.text + "/x";
        ExpectClearEnd(session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, hostileHostUrl.c_str(), nullptr, 0, true,
                                                     "hostile-client", true),
                       what);
        bool dynamic = true;
        ExpectClearEnd(session.KYLibCurlDynamiceTppmCheck(url, hostile.text, dynamic), what);
        std::string unused;
        for (const std::string& forget : {url, hostileHostUrl})
            session.TppmUrlMapInfo(forget, unused, KYLibCurl::TPPM_CACHE_REMOVE);
        kyfw::closeAllTunnels();
        ExpectUsableAndClean(what);
    }
}

// The lines not reached above: a failed request whose error reply echoes the body, the cache's lines
// with a hostile key and value, the reconnect line, the undecided-client line and the no-scheme line.
TEST_F(HostileInput, EveryLinePathWritesOneBoundedLine) {
    const kytest::RefusedPort refusing;
    const std::string refused = "http://127.0.0.1:" + std::to_string(refusing.port());
    for (const Hostile& hostile : HostileTexts()) {
        const std::string what = hostile.name;
        EXPECT_FALSE(session.KYLibCurlSendHttpReq(HTTP_REQ_POST, server.url("/echo?status=500"),
                                                  hostile.text.data(), hostile.text.size(), true, nullptr));
        EXPECT_TRUE(Wrote("curl-err:[")) << what;
        ExpectClearEnd(false, what);
        server.clearRequests();  // the body was meant to reach it

        const std::string hostileKeyUrl = "http://" + hostile.text + "/x";
        std::string value = hostile.text;
        session.TppmUrlMapInfo(hostileKeyUrl, value, KYLibCurl::TPPM_CACHE_ADD);
        session.TppmUrlMapInfo(hostileKeyUrl, value, KYLibCurl::TPPM_CACHE_GET);
        session.TppmUrlMapInfo(hostileKeyUrl, value, KYLibCurl::TPPM_CACHE_REMOVE);
        EXPECT_TRUE(Wrote("Key:[")) << what;
        ExpectIntactLines(what);
        log.clear();

        // A cached tunnel that refuses: the reconnect line shows it and the caller's hostile URL.
        const std::string url = server.url("/echo?q=") + hostile.text;
        value = refused;
        session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_ADD);
        bool ok = session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, url.c_str(), nullptr, 0, true, "hostile-client",
                                                true);
        // libcurl refuses a URL holding control bytes before it connects.
        EXPECT_TRUE(Wrote("Unable to connect to dynamic tppm url [" + refused + "/echo?q=") ||
                    Wrote("curl-err:[" + std::string(curl_easy_strerror(CURLE_URL_MALFORMAT)) + "]"))
            << what;
        ExpectClearEnd(ok, what);
        session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_REMOVE);
        kyfw::closeAllTunnels();
        log.clear();

        kyfw::setRoute("", kyfw::Route::Undecided);
        ok = session.KYLibCurlSendHttpReq(HTTP_REQ_GET, url, nullptr, 0, true, hostile.text.c_str());
        EXPECT_TRUE(Wrote("Not sure client \"")) << what;
        ExpectClearEnd(ok, what);
        kyfw::resetRoutes();

        const bool schemeless = hostile.text.find("://") == std::string::npos;
        ok = session.KYLibCurlSendHttpReq2(HTTP_REQ_GET, hostile.text.c_str(), nullptr, 0, true,
                                           "hostile-client", true);
        EXPECT_EQ(Wrote("Couldn't build TPPM url, no scheme in url:["), schemeless) << what;
        ExpectClearEnd(ok, what);
        ExpectUsableAndClean(what);
    }
}

// A configured header line is refused when a CR or LF inside it would make more than one line on the
// wire; every other configuration text is taken or refused by libcurl, and none adds a header.
TEST_F(HostileInput, ConfigurationTextsInjectNoHeader) {
    const std::string refusal = std::string("curl_easy_setopt returned error:[") +
                                curl_easy_strerror(CURLE_BAD_FUNCTION_ARGUMENT) +
                                "] options:[CURLOPT_HTTPHEADER]";
    for (const Hostile& hostile : HostileTexts()) {
        const std::string what = hostile.name;
        const bool breaksLine = hostile.text.find_first_of("\r\n") != std::string::npos;
        EXPECT_EQ(session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, hostile.text.c_str()), !breaksLine) << what;
        EXPECT_EQ(log.containsLine("-1", "KYLibCurl::KYLibCurlAppendHeaders", refusal), breaksLine) << what;
        log.clear();
        for (_http_hdr_type_ type :
             {HTTP_HDR_USERPWD, HTTP_HDR_CAINFO, HTTP_HDR_COOKIEFILE, HTTP_HDR_COOKIEJAR})
            session.KYLibCurlAppendHeader(type, hostile.text.c_str());
        session.KYLibCurlSetAdditionalOptionsStringValue(CURLOPT_NOPROXY, hostile.text);

        // Lines appended so far go out with this request (the list is not freed first). A hostile
        // credential may make the server refuse it; the settings last until the handle goes.
        ExpectClearEnd(
            session.KYLibCurlSendHttpReq(HTTP_REQ_POST, server.url("/echo"), "a=1", 3, false, nullptr), what);
        session.KYLibCurlDeInit();
        ASSERT_TRUE(session.KYLibCurlInit());
        ExpectUsableAndClean(what);
    }
}

TEST_F(HostileInput, ContentTypeTextIsCutAtItsFirstLineBreak) {
    for (const Hostile& hostile : HostileTexts()) {
        const std::string what = hostile.name;
        KYLibCurl typed;
        ASSERT_TRUE(typed.KYLibCurlInit(hostile.text.c_str())) << what;
        const std::string line = hostile.text.substr(0, hostile.text.find_first_of("\r\n")).substr(0, 199);
        EXPECT_EQ(std::string(typed.m_contentTypeHdr), line) << what;
        EXPECT_TRUE(typed.KYLibCurlSendHttpReq(HTTP_REQ_POST, server.url("/echo"), "a=1", 3, true, nullptr))
            << what;
        const kytest::ReceivedRequest request = server.lastRequest();
        EXPECT_EQ(request.raw.find(kInjected), std::string::npos) << what;
        if (line.rfind("X-Hostile: ", 0) == 0) {
            EXPECT_EQ(request.headerCount("X-Hostile"), 1u) << what;
        }
    }
}

// The text entry points that do not send: escaping round-trips, lookups find nothing foreign, the key
// split and the cache take any URL, signing with a hostile key path fails, encoding and tracing cope.
TEST_F(HostileInput, TextServicesCope) {
    ASSERT_TRUE(session.KYLibCurlSendHttpReq(HTTP_REQ_GET, server.url("/header?X-Reply=1"), nullptr, 0, true,
                                             nullptr));
    for (const Hostile& hostile : HostileTexts()) {
        const std::string what = hostile.name;
        std::string escaped = "stale";
        session.KYLibCurlUrlEscape(hostile.text, escaped);
        int length = 0;
        char* back = curl_easy_unescape(nullptr, escaped.c_str(), static_cast<int>(escaped.size()), &length);
        ASSERT_NE(back, nullptr) << what;
        EXPECT_EQ(std::string(back, static_cast<size_t>(length)), hostile.text) << what;
        curl_free(back);

        std::list<std::string> lines;
        const char* found = session.GetHttpResponseHeader(hostile.text.c_str());
        const bool any = session.GetHttpResponseHeaders(hostile.text.c_str(), lines);
        EXPECT_EQ(found != nullptr, any) << what;
        if (found) {
            EXPECT_EQ(lines.front(), found) << what;
        }

        std::string key, prefix;
        int port = 0;
        size_t pathPos = 0;
        const std::string url = "http://" + hostile.text + "/x";
        EXPECT_TRUE(session.GetUrlKey(url, key, port, pathPos, prefix)) << what;
        std::string value = "p";
        EXPECT_TRUE(session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_ADD)) << what;
        value.clear();
        EXPECT_TRUE(session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_GET)) << what;
        EXPECT_EQ(value, "p") << what;
        EXPECT_TRUE(session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_REMOVE)) << what;

        unsigned char signature[1024];
        unsigned int signatureLength = sizeof signature;
        EXPECT_EQ(
            session.SignSHA256withRSA(hostile.text, hostile.text, hostile.text, signature, signatureLength),
            0)
            << what;

        std::vector<char> encoded;
        const char* encodedText = UrlEncode(hostile.text.c_str(), encoded);
        EXPECT_EQ(encodedText, encoded.data()) << what;
        EXPECT_EQ(encoded.back(), '\0') << what;

        char* record = nullptr;
        size_t recordLength = 0;
        FILE* stream = open_memstream(&record, &recordLength);
        ASSERT_NE(stream, nullptr);
        std::vector<unsigned char> block(hostile.text.begin(), hostile.text.end());
        KYLibCurl::dumpTrace(hostile.text.c_str(), stream, block.data(), block.size(), 1);
        fclose(stream);
        EXPECT_EQ(std::string(record, recordLength).rfind(hostile.text, 0), 0u) << what;
        free(record);
    }
}

}  // namespace
}  // namespace kytest
