// What a failure line must hide of a request body that holds credentials.
#ifndef KYLIBCURL_DIAG_BODY_CREDENTIALS_H
#define KYLIBCURL_DIAG_BODY_CREDENTIALS_H

#include <cstddef>
#include <string>
#include <vector>

namespace kylibcurl::detail {

struct BodyCredentials {
    bool carries = false;  // the body holds a credential word: it is never logged
    // Every credential word lies in the name of a form field ("name=value", fields joined by '&') with a
    // value of at most a log line's length, and there are few enough of them, so values holds every
    // credential the body carries. Otherwise they cannot be told apart from the rest, and a reply that may
    // echo them is withheld as well.
    bool valuesKnown = true;
    std::vector<std::string> values;  // those fields' values as sent, and percent-decoded where different
};

// Reads the length bytes at body (none past them).
BodyCredentials FindBodyCredentials(const char* body, size_t length);

}  // namespace kylibcurl::detail

#endif
