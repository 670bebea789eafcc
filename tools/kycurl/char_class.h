// White space as the command line and its files see it: the C locale's.
#ifndef KYCURL_CHAR_CLASS_H
#define KYCURL_CHAR_CLASS_H

#include <cctype>

namespace kycurl {

inline bool IsSpace(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

}  // namespace kycurl

#endif
