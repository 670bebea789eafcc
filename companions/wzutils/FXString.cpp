#include "FXString.h"

#include <cstdarg>

#include "vformat.h"

namespace FXString {

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = wzutils::VFormat(format, args);
    va_end(args);
    return text;
}

void Trim(std::string& s, const char* chars) {
    if (!chars) return;
    size_t last = s.find_last_not_of(chars);
    if (last == std::string::npos) {
        s.clear();
        return;
    }
    s.erase(last + 1);
    s.erase(0, s.find_first_not_of(chars));
}

}  // namespace FXString
