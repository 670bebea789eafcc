#include "request/failure_log.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "diag/credential_hiding.h"
#include "diag/log_text.h"
#include "platform/curl_result.h"
#include "platform/globals.h"
#include "request/request_steps.h"

namespace kylibcurl::detail {

namespace {

constexpr char kNull[] = "_null_";
// In place of a text that may repeat credentials which cannot all be told apart from the rest.
constexpr char kWithheld[] = "_withheld_";

// The length of a text read as zero-terminated, but never past its size: a body need not be terminated.
size_t TextLength(const void* data, size_t size) {
    return data ? strnlen(static_cast<const char*>(data), size) : 0;
}

// The secrets of the URL, the body and the request header lines, each once.
std::vector<std::string> SecretsOf(const std::string& url, const BodyCredentials& credentials,
                                   const curl_slist* requestLines) {
    std::vector<std::string> secrets = UrlSecrets(url);
    secrets.insert(secrets.end(), credentials.values.begin(), credentials.values.end());
    const std::vector<std::string> sent = HeaderLineSecrets(requestLines);
    secrets.insert(secrets.end(), sent.begin(), sent.end());
    std::sort(secrets.begin(), secrets.end());
    secrets.erase(std::unique(secrets.begin(), secrets.end()), secrets.end());
    return secrets;
}

// A text of the request or the reply, with the secrets it may repeat hidden (also the credentials the
// session sends of its own, wherever they stand), or withheld when they cannot all be told.
std::string ShownText(const char* text, size_t length, const std::vector<std::string>& secrets) {
    if (secrets.size() > kMaxSecrets) return kWithheld;
    return WithoutSentCredentials(BoundedTextWithout(text, length, secrets));
}

std::string ServerResp(const FailedTransfer& failure, const BodyCredentials& credentials,
                       const std::vector<std::string>& secrets) {
    if (failure.replyLen == 0 || !failure.reply) return kNull;
    if (credentials.carries && !credentials.valuesKnown) return kWithheld;
    return ShownText(failure.reply, TextLength(failure.reply, failure.replyLen), secrets);
}

void WriteFailureLines(const FailedTransfer& failure) {
    if (failure.logFailure) m_dbg.DebugLvl(kDispatchTag, -1, "failed to send http request");

    const char* body = static_cast<const char*>(failure.data);
    const size_t bodyLength = failure.len != 0 ? TextLength(body, failure.len) : 0;
    const BodyCredentials credentials = FindBodyCredentials(body, bodyLength);
    if (!credentials.carries && !failure.logFailure) return;

    const std::string rawUrl = failure.url ? failure.url : "(null)";
    const std::vector<std::string> secrets = SecretsOf(rawUrl, credentials, failure.requestLines);
    const std::string url = LoggedUrl(rawUrl);
    const std::string serverResp = ServerResp(failure, credentials, secrets);
    const char* curlErr = CurlErrorText(failure.result);
    const int respSize = static_cast<int>(failure.replyLen);

    if (credentials.carries) {
        m_dbg.DebugLvl(kDispatchTag, -1,
                       "curl-err:[%s] http-resp:[%ld] url:[%s] server-resp:[%s] resp-size:[%d]", curlErr,
                       failure.status, url.c_str(), serverResp.c_str(), respSize);
        return;
    }
    const std::string reqData =
        failure.len != 0 && body ? ShownText(body, bodyLength, secrets) : std::string(kNull);
    m_dbg.DebugLvl(
        kDispatchTag, -1,
        "curl-err:[%s] http-resp:[%ld] url:[%s] req-data:[%s] len:[%d] server-resp:[%s] resp-size:[%d]",
        curlErr, failure.status, url.c_str(), reqData.c_str(), static_cast<int>(failure.len),
        serverResp.c_str(), respSize);
}

}  // namespace

void LogFailedTransfer(const FailedTransfer& failure) {
    LogSafely(-1, [&] { WriteFailureLines(failure); });
}

}  // namespace kylibcurl::detail
