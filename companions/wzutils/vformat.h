// printf-style formatting of a va_list into a new string, shared by the string helpers and the logger.
#ifndef WZUTILS_VFORMAT_H
#define WZUTILS_VFORMAT_H

#include <cstdarg>
#include <string>

namespace wzutils {

// Formats the whole text whatever its length. A null format, or one the C library rejects, gives "".
std::string VFormat(const char* format, va_list args);

}  // namespace wzutils

#endif
