// What the fault tests share: the body the test server sends for /bytes/N, and the session's reply.
#ifndef KYTEST_FAULT_TEST_HELPERS_H
#define KYTEST_FAULT_TEST_HELPERS_H

#include <cstddef>
#include <string>

#include "kylibcurl.h"

namespace faulttest {

// The body of /bytes/N: byte i is 'a' + i % 26.
inline std::string Pattern(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>('a' + i % 26);
    return bytes;
}

// The session's reply body as text (not detached).
inline std::string Body(KYLibCurl& session) {
    size_t length = 0;
    const char* data = session.GetHttpResponse(length, false);
    return data ? std::string(data, length) : std::string();
}

}  // namespace faulttest

#endif
