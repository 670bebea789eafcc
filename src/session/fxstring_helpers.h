// Inline string helpers the session uses on reply header lines.
#ifndef KYLIBCURL_SESSION_FXSTRING_HELPERS_H
#define KYLIBCURL_SESSION_FXSTRING_HELPERS_H

#include <cstring>
#include <string>

#include "FXString.h"
#include "platform/portability.h"

namespace FXString {

// Compares at most len characters, ignoring case, and never more than rhs holds: an rhs shorter than len
// matches when it equals the beginning of lhs.
inline int CompareLeftNoCase(const char* lhs, const char* rhs, size_t len) {
    size_t n = strlen(rhs);
    if (len < n) n = len;
    return _strnicmp(lhs, rhs, n);
}

// Strips spaces and tabs from both ends; line-end characters stay.
inline void TrimWhiteSpace(std::string& s) { Trim(s, " \t"); }

}  // namespace FXString

#endif
