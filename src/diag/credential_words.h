// The words that mark a credential, in any letter case: a request body that holds one is never logged,
// and a form field or a URL query parameter whose name holds one has its value hidden.
#ifndef KYLIBCURL_DIAG_CREDENTIAL_WORDS_H
#define KYLIBCURL_DIAG_CREDENTIAL_WORDS_H

#include <cstddef>
#include <string>

namespace kylibcurl::detail {

// True when the length bytes at text hold a credential word anywhere.
bool HoldsCredentialWord(const char* text, size_t length);

// The length bytes at text with "%XX" escapes decoded (and '+' read as a space when plusIsSpace), as a
// form or a query names its fields; a '%' that starts no escape stays as it is.
std::string PercentDecoded(const char* text, size_t length, bool plusIsSpace);

}  // namespace kylibcurl::detail

#endif
