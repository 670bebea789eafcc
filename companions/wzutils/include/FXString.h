// String helpers of the utility library.
#ifndef WZUTILS_FXSTRING_H
#define WZUTILS_FXSTRING_H

#include <string>

namespace FXString {

// printf-style formatting into a new string.
__attribute__((visibility("default"))) std::string Format(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// Removes the characters of the set chars from both ends of s, in place.
__attribute__((visibility("default"))) void Trim(std::string& s, const char* chars);

}  // namespace FXString

#endif
