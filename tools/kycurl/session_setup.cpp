#include "session_setup.h"

#include <cstdlib>

namespace kycurl {

namespace {

constexpr const char* kAllLevels = "7";

bool HasEnv(const char* name) {
    const char* value = getenv(name);
    return value && *value;
}

bool Refused(std::string& error, const std::string& what) {
    error = "the session refused " + what + " (see -v for the library's log)";
    return false;
}

bool ApplyCredentialsAndFiles(KYLibCurl& session, const Options& o, std::string& error) {
    if (!o.userPassword.empty() && !session.KYLibCurlAppendHeader(HTTP_HDR_USERPWD, o.userPassword.c_str())) {
        return Refused(error, "the credentials");
    }
    if (!o.caFile.empty() && !session.KYLibCurlAppendHeader(HTTP_HDR_CAINFO, o.caFile.c_str())) {
        return Refused(error, "the CA file '" + o.caFile + "'");
    }
    if (!o.cookieFile.empty() && !session.KYLibCurlAppendHeader(HTTP_HDR_COOKIEFILE, o.cookieFile.c_str())) {
        return Refused(error, "the cookie file '" + o.cookieFile + "'");
    }
    if (!o.cookieJar.empty() && !session.KYLibCurlAppendHeader(HTTP_HDR_COOKIEJAR, o.cookieJar.c_str())) {
        return Refused(error, "the cookie jar '" + o.cookieJar + "'");
    }
    return true;
}

}  // namespace

void ConfigureLibraryLog(bool verbose) {
    if (verbose) {
        if (!HasEnv("EVDEBUG_LEVEL")) setenv("EVDEBUG_LEVEL", kAllLevels, 1);
        return;
    }
    if (!HasEnv("EVDEBUG_FILE")) setenv("EVDEBUG_FILE", "/dev/null", 1);
}

bool ConfigureSession(KYLibCurl& session, const Options& o, std::string& error) {
    const char* contentType = o.contentTypeLine.empty() ? nullptr : o.contentTypeLine.c_str();
    if (!session.KYLibCurlInit(contentType, o.skipPeerVerify, o.requireSsl)) {
        return Refused(error, "to initialise");
    }
    for (const std::string& line : o.headers) {
        if (!session.KYLibCurlAppendHeader(HTTP_HDR_HEADER, line.c_str())) {
            return Refused(error, "the header '" + line + "'");
        }
    }
    if (!ApplyCredentialsAndFiles(session, o, error)) return false;
    if (o.timeoutMs > 0 && !session.KYLibCurlSetAdditionalOptionsIntValue(CURLOPT_TIMEOUT_MS, o.timeoutMs)) {
        return Refused(error, "the time-out");
    }
    if (o.trace) session.toggleTrace(true);
    return true;
}

}  // namespace kycurl
