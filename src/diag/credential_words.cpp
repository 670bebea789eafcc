#include "diag/credential_words.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace kylibcurl::detail {

namespace {

// "api_token", "access_token" and the like hold "token"; "passwd" is not a prefix of "password".
constexpr const char* kCredentialWords[] = {
    "password", "passwd",  "passphrase", "pwd",         "secret",     "token",
    "apikey",   "api_key", "api-key",    "private_key", "credential", "authorization",
};

bool WordAt(const char* text, size_t length, size_t pos) {
    for (const char* word : kCredentialWords) {
        const size_t size = std::strlen(word);
        if (size <= length - pos && strncasecmp(text + pos, word, size) == 0) return true;
    }
    return false;
}

// Every word starts with one of these letters, so most bytes are passed over at one comparison.
bool MayStartWord(char c) {
    switch (std::tolower(static_cast<unsigned char>(c))) {
        case 'a':
        case 'c':
        case 'p':
        case 's':
        case 't':
            return true;
        default:
            return false;
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool HoldsCredentialWord(const char* text, size_t length) {
    if (!text) return false;
    for (size_t pos = 0; pos < length; ++pos)
        if (MayStartWord(text[pos]) && WordAt(text, length, pos)) return true;
    return false;
}

std::string PercentDecoded(const char* text, size_t length, bool plusIsSpace) {
    std::string decoded;
    decoded.reserve(length);
    for (size_t pos = 0; pos < length; ++pos) {
        const char c = text[pos];
        const int high = c == '%' && pos + 2 < length ? HexValue(text[pos + 1]) : -1;
        const int low = high >= 0 ? HexValue(text[pos + 2]) : -1;
        if (low >= 0) {
            decoded += static_cast<char>(high * 16 + low);
            pos += 2;
        } else {
            decoded += plusIsSpace && c == '+' ? ' ' : c;
        }
    }
    return decoded;
}

}  // namespace kylibcurl::detail
