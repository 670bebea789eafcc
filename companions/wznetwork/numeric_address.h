// A numeric IPv4 or IPv6 address in text, read one way for the client table and for the relay's sockets:
// names are never accepted, so nothing here waits on a name lookup.
#ifndef KYFW_NUMERIC_ADDRESS_H
#define KYFW_NUMERIC_ADDRESS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

namespace kyfw {

// AF_INET or AF_INET6 with the address in out (room for either), or AF_UNSPEC when text is not a numeric
// address. inet_pton reads up to the first NUL: a text with one inside is refused, not judged by its
// beginning alone.
inline int parseNumericAddress(const std::string& text, in6_addr& out) {
    if (text.find('\0') != std::string::npos) return AF_UNSPEC;
    if (inet_pton(AF_INET, text.c_str(), &out) == 1) return AF_INET;
    if (inet_pton(AF_INET6, text.c_str(), &out) == 1) return AF_INET6;
    return AF_UNSPEC;
}

}  // namespace kyfw

#endif
