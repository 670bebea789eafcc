#include "support/request_target.h"

namespace kytest {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Only %XX escapes are decoded; a malformed escape stays as written.
std::string percentDecoded(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            decoded += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
            continue;
        }
        decoded += text[i];
    }
    return decoded;
}

std::string withoutScheme(const std::string& target) {
    size_t scheme = target.find("://");
    if (target.empty() || target[0] == '/' || scheme == std::string::npos) return target;
    size_t path = target.find('/', scheme + 3);
    return path == std::string::npos ? std::string("/") : target.substr(path);
}

}  // namespace

std::string RequestTarget::param(const std::string& name, const std::string& fallback) const {
    for (const auto& entry : query) {
        if (entry.first == name) return entry.second;
    }
    return fallback;
}

RequestTarget ParseRequestTarget(const std::string& target) {
    RequestTarget parsed;
    std::string local = withoutScheme(target);
    size_t mark = local.find('?');
    parsed.path = local.substr(0, mark);
    if (mark == std::string::npos) return parsed;
    std::string query = local.substr(mark + 1);
    size_t at = 0;
    while (at <= query.size()) {
        size_t stop = query.find('&', at);
        if (stop == std::string::npos) stop = query.size();
        std::string item = query.substr(at, stop - at);
        size_t equals = item.find('=');
        if (!item.empty()) {
            parsed.query.emplace_back(
                percentDecoded(item.substr(0, equals)),
                equals == std::string::npos ? std::string() : percentDecoded(item.substr(equals + 1)));
        }
        at = stop + 1;
    }
    return parsed;
}

}  // namespace kytest
