#include "transfer_outcome.h"

#include <curl/curl.h>

#include <cstring>

#include "kylibcurl.h"

namespace kycurl {

namespace {

// libcurl 7.88's error messages for the outcomes scripts test, by the start of the text (or, where
// marked, a part of it), and the result each stands for.
struct ErrorText {
    const char* text;
    bool anywhere;
    CURLcode code;
};

const ErrorText kErrorTexts[] = {
    {"Failed to connect to", false, CURLE_COULDNT_CONNECT},
    {"Could not resolve host", false, CURLE_COULDNT_RESOLVE_HOST},
    {"Could not resolve proxy", false, CURLE_COULDNT_RESOLVE_PROXY},
    {"Resolving timed out", false, CURLE_OPERATION_TIMEDOUT},
    {"Connection timed out", false, CURLE_OPERATION_TIMEDOUT},
    {"Operation timed out", false, CURLE_OPERATION_TIMEDOUT},
    {"SSL certificate problem", false, CURLE_PEER_FAILED_VERIFICATION},
    {"SSL: no alternative certificate subject name", false, CURLE_PEER_FAILED_VERIFICATION},
    {"SSL: certificate subject name", false, CURLE_PEER_FAILED_VERIFICATION},
    {"SSL: unable to obtain common name", false, CURLE_PEER_FAILED_VERIFICATION},
    {"error setting certificate", false, CURLE_SSL_CACERT_BADFILE},
    {"SSL_read:", true, CURLE_RECV_ERROR},
    {"SSL_write:", true, CURLE_SEND_ERROR},
    {"SSL_connect", true, CURLE_SSL_CONNECT_ERROR},
    {"OpenSSL/", false, CURLE_SSL_CONNECT_ERROR},
    {"The requested URL returned error", false, CURLE_HTTP_RETURNED_ERROR},
    {"Maximum (", false, CURLE_TOO_MANY_REDIRECTS},
    {"Empty reply from server", false, CURLE_GOT_NOTHING},
    {"transfer closed with", false, CURLE_PARTIAL_FILE},
    {"end of response with", false, CURLE_PARTIAL_FILE},
    {"Recv failure", false, CURLE_RECV_ERROR},
    {"Failure when receiving data", false, CURLE_RECV_ERROR},
    {"Send failure", false, CURLE_SEND_ERROR},
    {"Failed sending data", false, CURLE_SEND_ERROR},
    {"URL rejected", false, CURLE_URL_MALFORMAT},
    {"URL using bad/illegal format", false, CURLE_URL_MALFORMAT},
    {"Port number", false, CURLE_URL_MALFORMAT},
    {"Protocol \"", false, CURLE_UNSUPPORTED_PROTOCOL},
    {"Unrecognized content encoding", false, CURLE_BAD_CONTENT_ENCODING},
    {"Error while processing content unencoding", false, CURLE_BAD_CONTENT_ENCODING},
    {"Reject response due to more than", false, CURLE_BAD_CONTENT_ENCODING},
    {"Weird server reply", false, CURLE_WEIRD_SERVER_REPLY},
    {"Unsupported HTTP", false, CURLE_UNSUPPORTED_PROTOCOL},
};

bool Matches(const ErrorText& entry, const std::string& text) {
    if (entry.anywhere) return text.find(entry.text) != std::string::npos;
    return text.compare(0, strlen(entry.text), entry.text) == 0;
}

// libcurl writes its plain description of a result when it has nothing more to say.
int CodeForDescription(const std::string& text) {
    for (int code = 1; code < CURL_LAST; ++code) {
        if (text == curl_easy_strerror(static_cast<CURLcode>(code))) return code;
    }
    return CURLE_OK;
}

// The pseudo status decides when the text is not one of the known ones.
int CodeForText(const std::string& text, long status) {
    for (const ErrorText& entry : kErrorTexts) {
        if (Matches(entry, text)) return entry.code;
    }
    if (int code = CodeForDescription(text)) return code;
    if (status == HTTP_RESP_TIMED_OUT) return CURLE_OPERATION_TIMEDOUT;
    if (status == HTTP_RESP_CONNECT_FAILED) return CURLE_RECV_ERROR;
    return CURLE_UNSUPPORTED_PROTOCOL;
}

bool IsHttpStatus(long status) { return status >= 100 && status <= 599; }

}  // namespace

Outcome JudgeTransfer(const TransferFacts& facts) {
    Outcome outcome;
    if (facts.succeeded) {
        outcome.transferred = true;
        return outcome;
    }
    // The library fails a reply of status 200-299 only for its transfer's result; without a message, on a
    // reply being decoded, that is a decoder that gave up without a word (a broken brotli stream).
    if (facts.errorText.empty() && facts.decodedReply && facts.status >= 200 && facts.status <= 299) {
        outcome.exitCode = CURLE_BAD_CONTENT_ENCODING;
        outcome.reason = curl_easy_strerror(CURLE_BAD_CONTENT_ENCODING);
        return outcome;
    }
    // A complete reply whose status lies outside 200-299: the library calls it a failure, curl does not.
    if (facts.errorText.empty() && IsHttpStatus(facts.status)) {
        outcome.transferred = true;
        return outcome;
    }
    if (facts.errorText.empty()) {
        outcome.exitCode = facts.routed ? CURLE_COULDNT_CONNECT : CURLE_UNSUPPORTED_PROTOCOL;
        outcome.reason = facts.routed ? "no route to the client could be set up (see --library-log)"
                                      : "the library refused the request (see --library-log)";
        return outcome;
    }
    outcome.exitCode = CodeForText(facts.errorText, facts.status);
    outcome.reason = facts.errorText;
    return outcome;
}

bool IsTransient(const Outcome& outcome, long status) {
    switch (outcome.exitCode) {
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return true;
        case CURLE_OK:
        case CURLE_HTTP_RETURNED_ERROR:
            break;
        default:
            return false;
    }
    switch (status) {
        case 408:
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            return true;
        default:
            return false;
    }
}

}  // namespace kycurl
