// The tunnel resolution behind KYLibCurl::getTPPMUrl, with what a routed request needs to know besides
// the URL.
#ifndef KYLIBCURL_TPPM_TPPM_RESOLUTION_H
#define KYLIBCURL_TPPM_TPPM_RESOLUTION_H

#include <string>

#include "kylibcurl.h"

namespace kylibcurl::detail {

// getTPPMUrl, which it serves. When tunnelOut is given, it receives the tunnel's host and port
// ("127.0.0.1:5999") when outUrl goes through a tunnel, and is emptied when outUrl is url itself.
bool ResolveTppmUrl(KYLibCurl& session, const std::string& clientName, const std::string& url,
                    std::string& outUrl, bool useDynamicTppm, std::string* tunnelOut);

}  // namespace kylibcurl::detail

#endif
