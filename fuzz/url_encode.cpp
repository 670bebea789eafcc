// UrlEncode on arbitrary bytes (up to the first NUL, as a C caller passes them). Properties: the output is
// the encoding followed by exactly one NUL; its length follows the byte rule (one byte for a kept byte or
// a space, three for every other); only kept bytes, '+', '%' and upper-case hex digits appear; decoding
// gives the input back; earlier contents of the output vector are gone.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "fuzz_targets.h"
#include "kylibcurl.h"

namespace kyfuzz {
namespace {

bool IsKept(unsigned char byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           byte == '.' || byte == '-' || byte == '*' || byte == '_';
}

size_t EncodedLength(const std::string& text) {
    size_t length = 0;
    for (unsigned char byte : text) length += (IsKept(byte) || byte == ' ') ? 1 : 3;
    return length;
}

int UpperHexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

// Strict decoder: anything the encoder must not write makes it fail.
bool Decode(const char* encoded, size_t length, std::string& decoded) {
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(encoded[i]);
        if (byte == '+') {
            decoded += ' ';
        } else if (byte == '%') {
            if (i + 2 >= length) return false;
            const int high = UpperHexValue(encoded[i + 1]);
            const int low = UpperHexValue(encoded[i + 2]);
            if (high < 0 || low < 0) return false;
            const int value = high * 16 + low;
            if (value == 0 || IsKept(static_cast<unsigned char>(value)) || value == ' ') return false;
            decoded += static_cast<char>(value);
            i += 2;
        } else if (IsKept(byte)) {
            decoded += static_cast<char>(byte);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int FuzzUrlEncode(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string input = bytes.c_str();  // what a C caller's string holds

    std::vector<char> out(bytes.begin(), bytes.end());  // stale contents that must go
    char* encoded = UrlEncode(input.c_str(), out);

    KYFUZZ_CHECK(encoded == out.data());
    KYFUZZ_CHECK(out.size() == EncodedLength(input) + 1);
    KYFUZZ_CHECK(out.back() == '\0');
    KYFUZZ_CHECK(strlen(encoded) == out.size() - 1);
    std::string decoded;
    KYFUZZ_CHECK(Decode(encoded, out.size() - 1, decoded));
    KYFUZZ_CHECK(decoded == input);
    return 0;
}

}  // namespace kyfuzz
