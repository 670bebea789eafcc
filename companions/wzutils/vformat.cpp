#include "vformat.h"

#include <cstdio>

namespace wzutils {

std::string VFormat(const char* format, va_list args) {
    if (!format) return std::string();
    // Most texts are short: one pass into a stack buffer, and a second, exactly sized one only when needed.
    char small[512];
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(small, sizeof small, format, args);
    if (length < 0) {
        va_end(again);
        return std::string();
    }
    if (static_cast<size_t>(length) < sizeof small) {
        va_end(again);
        return std::string(small, static_cast<size_t>(length));
    }
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(&text[0], text.size() + 1, format, again);
    va_end(again);
    return text;
}

}  // namespace wzutils
