// A session's reply body as text.
#ifndef KYTEST_REPLY_BODY_H
#define KYTEST_REPLY_BODY_H

#include <cstddef>
#include <string>

#include "kylibcurl.h"

namespace kytest {

// What the session holds of the reply, not detached; empty when it holds nothing.
inline std::string Body(KYLibCurl& session) {
    size_t length = 0;
    const char* data = session.GetHttpResponse(length, false);
    return data ? std::string(data, length) : std::string();
}

}  // namespace kytest

#endif
