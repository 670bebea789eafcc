// Form encoding (application/x-www-form-urlencoded), byte by byte, for C callers.
#include <array>
#include <cstring>

#include "kylibcurl.h"
#include "platform/no_throw.h"

namespace {

enum ByteClass : unsigned char { kCopy, kPlus, kEscape };

constexpr bool IsKept(unsigned byte) {
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           byte == '.' || byte == '-' || byte == '*' || byte == '_';
}

constexpr std::array<ByteClass, 256> MakeClassTable() {
    std::array<ByteClass, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) table[byte] = IsKept(byte) ? kCopy : kEscape;
    table[' '] = kPlus;
    return table;
}

constexpr std::array<ByteClass, 256> kByteClass = MakeClassTable();
constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

size_t EncodedLength(const unsigned char* in) {
    size_t length = 0;
    for (; *in; ++in) length += kByteClass[*in] == kEscape ? 3 : 1;
    return length;
}

void EncodeInto(const unsigned char* in, char* out) {
    for (; *in; ++in) {
        const unsigned char byte = *in;
        switch (kByteClass[byte]) {
            case kCopy:
                *out++ = static_cast<char>(byte);
                break;
            case kPlus:
                *out++ = '+';
                break;
            case kEscape:
                *out++ = '%';
                *out++ = kUpperHexDigits[byte >> 4];
                *out++ = kUpperHexDigits[byte & 0x0F];
                break;
        }
    }
    *out = '\0';
}

}  // namespace

// The exact length is counted first so the output is sized once and written without further growth. An
// output that cannot be sized stays empty, and the result is null.
extern "C" char* UrlEncode(const char* input, std::vector<char>& out) {
    out.clear();
    const unsigned char* in = reinterpret_cast<const unsigned char*>(input ? input : "");
    return kylibcurl::detail::UnlessOutOfMemory(nullptr, static_cast<char*>(nullptr), [&] {
        out.resize(EncodedLength(in) + 1);
        EncodeInto(in, out.data());
        return out.data();
    });
}
