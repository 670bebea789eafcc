#include <charconv>
#include <string>
#include <vector>

#include "KyFwClient.h"

namespace {

constexpr char kSeparator = '*';
constexpr size_t kMangledParts = 4;

std::vector<std::string> splitAtSeparator(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t star = text.find(kSeparator); star != std::string::npos;
         star = text.find(kSeparator, start)) {
        parts.push_back(text.substr(start, star - start));
        start = star + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// Decimal only, the whole text, within int range: what MangleHostName writes.
bool parseInt(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    auto result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

std::string MangleHostName(const char* account, const char* host, int i, int j) {
    std::string name = account ? account : "";
    name += kSeparator;
    name += host ? host : "";
    name += kSeparator;
    name += std::to_string(i);
    name += kSeparator;
    name += std::to_string(j);
    return name;
}

bool DemangleHostName(const char* mangled, std::string& account, std::string& host, int& i, int& j) {
    if (!mangled) return false;
    std::vector<std::string> parts = splitAtSeparator(mangled);
    if (parts.size() != kMangledParts) return false;
    int first = 0;
    int second = 0;
    if (!parseInt(parts[2], first) || !parseInt(parts[3], second)) return false;
    account = parts[0];
    host = parts[1];
    i = first;
    j = second;
    return true;
}
