// Every line the dispatcher and its steps write carries the dispatcher's name, whichever entry point
// the caller used.
#ifndef KYLIBCURL_REQUEST_DISPATCH_TAG_H
#define KYLIBCURL_REQUEST_DISPATCH_TAG_H

namespace kylibcurl::detail {

inline constexpr char kDispatchTag[] = "KYLibCurl::KYLibCurlSendHttpReqInternal";

}  // namespace kylibcurl::detail

#endif
