// Splitting URLs into scheme prefix, cache key, port and path offset.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "kylibcurl.h"

namespace kytest {
namespace {

struct UrlKeyRow {
    const char* url;
    const char* prefix;
    const char* key;
    int port;
    size_t pathPos;
};

const UrlKeyRow kRows[] = {
    {"http://host/a/b?x=1", "http://", "host:80", 80, 11},
    {"https://host:444/x", "https://", "host:444", 444, 16},
    {"http://host:81", "http://", "host:81", 81, 14},
    {"http://host:081/", "http://", "host:081", 81, 15},
    // The https scheme, in any letter case, defaults to 443; every other scheme to 80.
    {"https://host/", "https://", "host:443", 443, 12},
    {"HTTPS://host", "HTTPS://", "host:443", 443, 12},
    {"httpsx://host/", "httpsx://", "host:80", 80, 13},
    // The host part ends at the first '/', '?' or '#'.
    {"http://host?q=1", "http://", "host:80", 80, 11},
    {"http://host#f", "http://", "host:80", 80, 11},
    {"http://host:82?q=/x", "http://", "host:82", 82, 14},
    {"http://host:abc/", "http://", "host:abc", 0, 15},
    {"http:///path", "http://", ":80", 80, 7},
    {"://x", "://", "x:80", 80, 4},
    {"ftp://h/x", "ftp://", "h:80", 80, 7},
    // User information, up to the last '@' of the host part, is no part of the key.
    {"http://user:pw@host:81/x", "http://", "host:81", 81, 22},
    {"http://user:12@host/x", "http://", "host:80", 80, 19},
    {"http://a@b@host:83/x", "http://", "host:83", 83, 18},
    {"http://host/x@y", "http://", "host:80", 80, 11},
    // A bracketed IPv6 literal is one host; the port follows the bracket.
    {"http://[::1]:81/x", "http://", "[::1]:81", 81, 15},
    {"http://[::1]/x", "http://", "[::1]:80", 80, 12},
    {"https://u@[1:2::3]/x", "https://", "[1:2::3]:443", 443, 18},
    // strtol: leading blanks and a sign are read, the number keeps its low 32 bits.
    {"http://host: -5/", "http://", "host: -5", -5, 15},
    {"http://host:4294967377/", "http://", "host:4294967377", 81, 22},
    // Only the first "://" separates; a second one belongs to the key or the path.
    {"http://a://b/c", "http://", "a:", 0, 9},
};

void PrintTo(const UrlKeyRow& row, std::ostream* out) { *out << row.url; }

class UrlKeyTable : public ::testing::TestWithParam<UrlKeyRow> {};

TEST_P(UrlKeyTable, SplitsIntoPrefixKeyPortAndPathOffset) {
    const UrlKeyRow& row = GetParam();
    KYLibCurl session;
    std::string key = "old key";
    std::string prefix = "old prefix";
    int port = -99;
    size_t pathPos = 999;

    ASSERT_TRUE(session.GetUrlKey(row.url, key, port, pathPos, prefix));

    EXPECT_EQ(prefix, row.prefix);
    EXPECT_EQ(key, row.key);
    EXPECT_EQ(port, row.port);
    EXPECT_EQ(pathPos, row.pathPos);
}

// The prefix, the user information, the key as cut (before a default port is appended) and the tail
// give the URL back.
TEST_P(UrlKeyTable, PrefixUserInformationHostPartAndTailGiveTheUrlBack) {
    const std::string url = GetParam().url;
    KYLibCurl session;
    std::string key, prefix;
    int port = 0;
    size_t pathPos = 0;

    ASSERT_TRUE(session.GetUrlKey(url, key, port, pathPos, prefix));

    const std::string authority = url.substr(prefix.size(), pathPos - prefix.size());
    const size_t at = authority.rfind('@');
    const std::string hostPart = at == std::string::npos ? authority : authority.substr(at + 1);
    EXPECT_EQ(key.compare(0, hostPart.size(), hostPart), 0) << key;
    const std::string userInfo = authority.substr(0, authority.size() - hostPart.size());
    EXPECT_EQ(prefix + userInfo + hostPart + url.substr(pathPos), url);
}

INSTANTIATE_TEST_SUITE_P(Rows, UrlKeyTable, ::testing::ValuesIn(kRows));

TEST(UrlKey, WithoutSchemeSeparatorLeavesEveryOutputUntouched) {
    KYLibCurl session;
    for (const char* url : {"host/path", "", "http:/host/x", "http//host", "host:81"}) {
        std::string key = "k";
        std::string prefix = "p";
        int port = 7;
        size_t pathPos = 3;

        EXPECT_FALSE(session.GetUrlKey(url, key, port, pathPos, prefix)) << url;

        EXPECT_EQ(key, "k") << url;
        EXPECT_EQ(prefix, "p") << url;
        EXPECT_EQ(port, 7) << url;
        EXPECT_EQ(pathPos, 3u) << url;
    }
}

}  // namespace
}  // namespace kytest
