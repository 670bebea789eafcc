#include "session_setup.h"

#include <cstdlib>

namespace kycurl {

namespace {

// The library sends an upload as a post of its length under the name PUT, with its own length line. A
// redirect must not turn it into a bodiless request that still declares that length (the server would wait
// for the body for ever): an upload keeps its method and body on every redirect, as curl keeps a PUT's on
// a 301 or 302.
long PostRedirect(const Options& o) {
    return o.uploads.empty() ? o.postRedirect : o.postRedirect | CURL_REDIR_POST_ALL;
}

constexpr const char* kAllLevels = "7";
// libcurl's read size in curl: larger reads make fewer calls for a large body.
constexpr int kReceiveBuffer = 102400;
// The session adds its content-type line to every request. A header line without a value is never sent,
// so this one leaves each request's Content-Type to libcurl, -H, --json and -F, as in curl.
constexpr const char* kNoContentTypeLine = "X-Kycurl-Content-Type:";

bool HasEnv(const char* name) {
    const char* value = getenv(name);
    return value && *value;
}

bool Refused(std::string& error, const std::string& what) {
    error = "the session refused " + what + " (see --library-log)";
    return false;
}

bool SetText(KYLibCurl& session, CURLoption option, const std::string& value) {
    return session.KYLibCurlSetAdditionalOptionsStringValue(option, value);
}

bool SetNumber(KYLibCurl& session, CURLoption option, long value) {
    int number = static_cast<int>(value);
    return session.KYLibCurlSetAdditionalOptionsIntValue(option, number);
}

std::string JoinCookies(const std::vector<std::string>& cookies) {
    std::string joined;
    for (const std::string& cookie : cookies) joined += (joined.empty() ? "" : ";") + cookie;
    return joined;
}

bool ApplyFiles(KYLibCurl& session, const Options& o, std::string& error) {
    if (o.hasUser && !session.KYLibCurlAppendHeader(HTTP_HDR_USERPWD, o.userPassword.c_str())) {
        return Refused(error, "the credentials");
    }
    if (!o.caFile.empty() && !session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, o.caFile.c_str())) {
        return Refused(error, "the CA file '" + o.caFile + "'");
    }
    for (const std::string& file : o.cookieFiles) {
        if (!session.KYLibCurlAppendHeader(HTTP_HDR_COOKIEFILE, file.c_str())) {
            return Refused(error, "the cookie file '" + file + "'");
        }
    }
    if (!o.cookies.empty() && !SetText(session, CURLOPT_COOKIE, JoinCookies(o.cookies))) {
        return Refused(error, "the cookies");
    }
    if (!o.cookieJar.empty() && !session.KYLibCurlAppendHeader(HTTP_HDR_COOKIEJAR, o.cookieJar.c_str())) {
        return Refused(error, "the cookie jar '" + o.cookieJar + "'");
    }
    return true;
}

bool ApplyTransferLimits(KYLibCurl& session, const Options& o, std::string& error) {
    if (o.timeoutMs > 0 && !SetNumber(session, CURLOPT_TIMEOUT_MS, o.timeoutMs)) {
        return Refused(error, "the time-out");
    }
    if (o.connectTimeoutMs > 0 && !SetNumber(session, CURLOPT_CONNECTTIMEOUT_MS, o.connectTimeoutMs)) {
        return Refused(error, "the connect time-out");
    }
    if (o.followRedirects && !session.KYLibCurlSetAdditionalOptions(CURLOPT_FOLLOWLOCATION)) {
        return Refused(error, "to follow redirects");
    }
    if (!SetNumber(session, CURLOPT_MAXREDIRS, o.maxRedirs)) {
        return Refused(error, "the redirect limit");
    }
    if (o.fail && !session.KYLibCurlSetAdditionalOptions(CURLOPT_FAILONERROR)) {
        return Refused(error, "--fail");
    }
    if (!SetNumber(session, CURLOPT_BUFFERSIZE, kReceiveBuffer))
        return Refused(error, "the receive buffer size");
    return true;
}

long VersionOption(HttpVersion version) {
    switch (version) {
        case HttpVersion::Http10:
            return CURL_HTTP_VERSION_1_0;
        case HttpVersion::Http11:
            return CURL_HTTP_VERSION_1_1;
        case HttpVersion::Http2:
            return CURL_HTTP_VERSION_2_0;
        case HttpVersion::Default:
            break;
    }
    return CURL_HTTP_VERSION_NONE;
}

bool ApplyHttpOptions(KYLibCurl& session, const Options& o, std::string& error) {
    std::string agent = o.userAgentGiven ? o.userAgent : std::string("kycurl/") + KYCURL_VERSION;
    if (!SetText(session, CURLOPT_USERAGENT, agent)) return Refused(error, "the User-Agent");
    if (!o.referer.empty() && !SetText(session, CURLOPT_REFERER, o.referer))
        return Refused(error, "the referer");
    // An empty list asks for every encoding this libcurl can decode.
    if (o.compressed && !SetText(session, CURLOPT_ACCEPT_ENCODING, "")) return Refused(error, "--compressed");
    if (!o.proxy.empty() && !SetText(session, CURLOPT_PROXY, o.proxy)) return Refused(error, "the proxy");
    if (o.httpVersion != HttpVersion::Default &&
        !SetNumber(session, CURLOPT_HTTP_VERSION, VersionOption(o.httpVersion))) {
        return Refused(error, "the HTTP version");
    }
    return true;
}

bool ApplyAuthentication(KYLibCurl& session, const Options& o, std::string& error) {
    if (o.httpAuth != 0 && !SetNumber(session, CURLOPT_HTTPAUTH, o.httpAuth))
        return Refused(error, "the authentication method");
    if (o.proxyAuth != 0 && !SetNumber(session, CURLOPT_PROXYAUTH, o.proxyAuth))
        return Refused(error, "the proxy authentication method");
    if (o.hasProxyUser && !SetText(session, CURLOPT_PROXYUSERPWD, o.proxyUserPassword))
        return Refused(error, "the proxy credentials");
    if (!o.proxy.empty() && o.proxyType != CURLPROXY_HTTP &&
        !SetNumber(session, CURLOPT_PROXYTYPE, o.proxyType))
        return Refused(error, "the proxy type");
    if (o.netrc != CURL_NETRC_IGNORED && !SetNumber(session, CURLOPT_NETRC, o.netrc))
        return Refused(error, "the .netrc setting");
    if (PostRedirect(o) != 0 && !SetNumber(session, CURLOPT_POSTREDIR, PostRedirect(o)))
        return Refused(error, "the POST redirect setting");
    return true;
}

bool ApplySetting(KYLibCurl& session, const CurlSetting& setting) {
    long number = setting.number;
    switch (setting.kind) {
        case SettingKind::Number:
            return SetNumber(session, setting.option, number);
        case SettingKind::Offset:
            return session.KYLibCurlSetAdditionalOptionsCOffValue(setting.option, number);
        case SettingKind::Text:
            return SetText(session, setting.option, setting.text);
    }
    return false;
}

bool ApplyCurlSettings(KYLibCurl& session, const Options& o, std::string& error) {
    for (const CurlSetting& setting : o.curlSettings) {
        if (!ApplySetting(session, setting))
            return Refused(error, "libcurl option " + std::to_string(setting.option));
    }
    return true;
}

}  // namespace

void ConfigureLibraryLog(bool show) {
    if (show) {
        if (!HasEnv("EVDEBUG_LEVEL")) setenv("EVDEBUG_LEVEL", kAllLevels, 1);
        return;
    }
    if (!HasEnv("EVDEBUG_FILE")) setenv("EVDEBUG_FILE", "/dev/null", 1);
}

bool ConfigureSession(KYLibCurl& session, const Options& o, KYLibCurl::DataCallback writeCallback,
                      std::string& error) {
    if (!session.KYLibCurlInit(kNoContentTypeLine, o.skipPeerVerify, o.requireSsl, writeCallback)) {
        return Refused(error, "to initialise");
    }
    if (!ApplyFiles(session, o, error) || !ApplyTransferLimits(session, o, error) ||
        !ApplyHttpOptions(session, o, error) || !ApplyAuthentication(session, o, error) ||
        !ApplyCurlSettings(session, o, error)) {
        return false;
    }
    if (o.trace == TraceMode::LibraryLogTxt) session.toggleTrace(true);
    return true;
}

bool ApplyUrlCredentials(KYLibCurl& session, const UrlCredentials& credentials) {
    // The library sets texts only; a null value is what takes earlier credentials off the handle.
    const char* user = credentials.hasUser ? credentials.user.c_str() : nullptr;
    const char* password = credentials.hasPassword ? credentials.password.c_str() : nullptr;
    return curl_easy_setopt(session.m_curlHandle, CURLOPT_USERNAME, user) == CURLE_OK &&
           curl_easy_setopt(session.m_curlHandle, CURLOPT_PASSWORD, password) == CURLE_OK;
}

}  // namespace kycurl
