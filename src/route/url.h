// A URL cut into its parts, the one split behind routing, the secrets a log line hides and kycurl's own
// credentials: the scheme through its first "://", the user part up to the last '@' of the authority, host
// and port, and the rest (path, query, fragment). The authority ends at the first '/', '?' or '#' after the
// scheme; a text without "://" starts with its authority (libcurl takes such URLs too, and callers cache
// tunnel prefixes without a scheme). A bracketed IPv6 literal is one host. No decoding, no case folding.
// Header-only, so that kycurl and the fuzz targets compile the same split.
#ifndef KYLIBCURL_ROUTE_URL_H
#define KYLIBCURL_ROUTE_URL_H

#include <strings.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <string_view>

namespace kylibcurl::detail {

struct Span {
    size_t begin;
    size_t end;
};

constexpr long kHighestPort = 65535;

// A port's text read once, as strtol reads it: leading blanks and a sign are taken, then digits up to the
// first other byte.
struct Port {
    int number = 0;       // the number read, its low 32 bits (0 when no digit): a URL key's port as written
    bool usable = false;  // the whole text is that number and it is a port a connection can use, 1 to 65535
};

inline Port ParsePort(std::string_view text) {
    const std::string copy(text);
    char* end = nullptr;
    const long read = std::strtol(copy.c_str(), &end, 10);
    return Port{static_cast<int>(read), *end == '\0' && read > 0 && read <= kHighestPort};
}

// Where the port text's ':' is in a host part ("host:81", "[::1]:81"), or npos when no port is written.
// Inside a bracketed IPv6 literal a ':' belongs to the host.
inline size_t PortSeparator(std::string_view hostPart) {
    size_t from = 0;
    if (!hostPart.empty() && hostPart[0] == '[') {
        const size_t close = hostPart.find(']');
        if (close != std::string_view::npos) from = close + 1;
    }
    return hostPart.find(':', from);
}

// Positions into the text it was split from, which must outlive it.
struct Url {
    std::string_view text;
    bool hasScheme = false;                   // the text holds "://"
    size_t authorityPos = 0;                  // after "://", or 0 without a scheme
    size_t hostPos = 0;                       // after the user part's '@', or authorityPos
    size_t portPos = std::string_view::npos;  // after the port's ':', npos when no port is written
    size_t pathPos = 0;  // the first '/', '?' or '#' after the scheme, or the text's length

    std::string_view scheme() const { return text.substr(0, authorityPos); }
    // With its '@'; empty when the URL has none.
    std::string_view userPart() const { return text.substr(authorityPos, hostPos - authorityPos); }
    std::string_view hostAndPort() const { return text.substr(hostPos, pathPos - hostPos); }
    bool hasPort() const { return portPos != std::string_view::npos; }
    std::string_view portText() const {
        return hasPort() ? text.substr(portPos, pathPos - portPos) : std::string_view();
    }
    std::string_view rest() const { return text.substr(pathPos); }
    // The https scheme in any letter case.
    bool isHttps() const { return scheme().size() == 8 && strncasecmp(text.data(), "https://", 8) == 0; }
    // 443 for https, 80 for every other scheme.
    int defaultPort() const { return isHttps() ? 443 : 80; }
    // The written port as ParsePort reads it, or the scheme's default.
    int port() const { return hasPort() ? ParsePort(portText()).number : defaultPort(); }
};

inline Url ParseUrl(std::string_view text) {
    Url url;
    url.text = text;
    const size_t separator = text.find("://");
    url.hasScheme = separator != std::string_view::npos;
    url.authorityPos = url.hasScheme ? separator + 3 : 0;
    url.pathPos = std::min(text.find_first_of("/?#", url.authorityPos), text.size());
    const size_t at = url.pathPos > 0 ? text.rfind('@', url.pathPos - 1) : std::string_view::npos;
    url.hostPos = at != std::string_view::npos && at >= url.authorityPos ? at + 1 : url.authorityPos;
    const size_t colon = PortSeparator(url.hostAndPort());
    if (colon != std::string_view::npos) url.portPos = url.hostPos + colon + 1;
    return url;
}

// The tunnel cache's key of a URL with a scheme: host and port as written, with ":443" (https) or ":80"
// appended when no port is written.
inline std::string UrlKey(const Url& url) {
    std::string key(url.hostAndPort());
    if (!url.hasPort()) key += ":" + std::to_string(url.defaultPort());
    return key;
}

// What GetUrlKey hands out of a URL.
struct UrlParts {
    bool valid = false;    // the URL holds "://"; without it the other parts stay empty and 0
    std::string prefix;    // the URL through its first "://"
    std::string userInfo;  // the user information with its '@', empty when the URL has none
    std::string key;       // UrlKey
    int port = 0;          // Url::port
    size_t hostPos = 0;    // where the host begins, after the user information
    size_t pathPos = 0;    // the first '/', '?' or '#' after "://", or the URL's length
};

inline UrlParts SplitUrl(const std::string& text) {
    const Url url = ParseUrl(text);
    if (!url.hasScheme) return UrlParts();
    return UrlParts{true,
                    std::string(url.scheme()),
                    std::string(url.userPart()),
                    UrlKey(url),
                    url.port(),
                    url.hostPos,
                    url.pathPos};
}

}  // namespace kylibcurl::detail

#endif
