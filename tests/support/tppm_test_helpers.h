// Helpers the TPPM routing tests share: reading tunnel URLs and the tunnel cache.
#ifndef KYTEST_TPPM_TEST_HELPERS_H
#define KYTEST_TPPM_TEST_HELPERS_H

#include <string>

#include "kylibcurl.h"
#include "support/log_capture.h"

namespace kytest {

// The tunnel port of a TPPM URL "<scheme>://[<user>@]127.0.0.1:<port>[/?#...]"; 0 when url has another
// shape.
// Compiled once, in the test kit: the regular expression behind it is costly to compile.
int TunnelPort(const std::string& url);

inline bool StartsWith(const std::string& text, const std::string& start) {
    return text.compare(0, start.size(), start) == 0;
}

// The cached prefix for url's key ("" when none), read without logging into the test's capture.
// Single-threaded use only: the quiet capture changes the environment.
inline std::string QuietCachedPrefix(KYLibCurl& session, const std::string& url) {
    kytest::LogCapture quiet(-2);
    std::string value;
    session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_GET);
    return value;
}

// Drops what an earlier test in this process cached for url's key, without logging it.
inline void QuietForget(KYLibCurl& session, const std::string& url) {
    kytest::LogCapture quiet(-2);
    std::string unused;
    session.TppmUrlMapInfo(url, unused, KYLibCurl::TPPM_CACHE_REMOVE);
}

}  // namespace kytest

#endif
