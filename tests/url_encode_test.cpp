// Form encoding: every byte class, the output vector's contents, and a round trip through a decoder.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kylibcurl.h"

namespace kytest {
namespace {

const std::string kKeptBytes = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-*_";

bool IsKept(unsigned char byte) { return kKeptBytes.find(static_cast<char>(byte)) != std::string::npos; }

std::string ExpectedFor(unsigned char byte) {
    if (IsKept(byte)) return std::string(1, static_cast<char>(byte));
    if (byte == ' ') return "+";
    char escape[4];
    snprintf(escape, sizeof escape, "%%%02X", byte);
    return escape;
}

std::string Encode(const std::string& input) {
    std::vector<char> out;
    return UrlEncode(input.c_str(), out);
}

int HexValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;  // lower case is not what the encoder writes
}

// Decodes form encoding strictly: fails on anything the encoder must not produce.
bool Decode(const std::string& encoded, std::string& decoded) {
    decoded.clear();
    for (size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '+') {
            decoded += ' ';
        } else if (c == '%') {
            if (i + 2 >= encoded.size()) return false;
            const int high = HexValue(encoded[i + 1]), low = HexValue(encoded[i + 2]);
            if (high < 0 || low < 0) return false;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else if (IsKept(static_cast<unsigned char>(c))) {
            decoded += c;
        } else {
            return false;
        }
    }
    return true;
}

TEST(UrlEncode, EveryByteValueFollowsItsClass) {
    for (unsigned value = 1; value <= 255; ++value) {
        const unsigned char byte = static_cast<unsigned char>(value);
        const std::string input(1, static_cast<char>(byte));
        EXPECT_EQ(Encode(input), ExpectedFor(byte)) << "byte " << value;
    }
}

TEST(UrlEncode, Examples) {
    const struct {
        std::string input, expected;
    } cases[] = {
        {"a b c", "a+b+c"},
        {"~", "%7E"},
        {"+", "%2B"},
        {"%", "%25"},
        {"\xC3\xA9", "%C3%A9"},
        {"\t", "%09"},
        {"\xFF", "%FF"},
        {"/path?x=1&y=2", "%2Fpath%3Fx%3D1%26y%3D2"},
        {kKeptBytes, kKeptBytes},
    };
    for (const auto& c : cases) EXPECT_EQ(Encode(c.input), c.expected) << c.input;
}

TEST(UrlEncode, NullAndEmptyInputGiveTheEmptyEncoding) {
    for (const char* input : {static_cast<const char*>(nullptr), ""}) {
        std::vector<char> out(10, 'z');
        const char* result = UrlEncode(input, out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], '\0');
        EXPECT_EQ(result, out.data());
        EXPECT_STREQ(result, "");
    }
}

TEST(UrlEncode, OutputHoldsOnlyTheEncodingAndOneNul) {
    std::vector<char> out(100, 'q');
    const char* result = UrlEncode("a b", out);
    EXPECT_EQ(result, out.data());
    EXPECT_EQ(out, (std::vector<char>{'a', '+', 'b', '\0'}));

    UrlEncode("~~~~~~~~~~", out);
    UrlEncode("x", out);
    EXPECT_EQ(out, (std::vector<char>{'x', '\0'}));
}

TEST(UrlEncode, SizeIsCopiedPlusThreeTimesEscapedPlusOne) {
    const std::string input = "Hello, World! 100% ~ok~ \x01\x80\xFE caf\xC3\xA9.";
    size_t single = 0, escaped = 0;
    for (unsigned char byte : input) (IsKept(byte) || byte == ' ' ? single : escaped) += 1;
    std::vector<char> out;
    UrlEncode(input.c_str(), out);
    EXPECT_EQ(out.size(), single + 3 * escaped + 1);
    EXPECT_EQ(out.back(), '\0');
}

TEST(UrlEncode, RandomBytesRoundTripThroughAnIndependentDecoder) {
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<int> length(0, 64), byte(1, 255);
    std::vector<char> out;
    for (int round = 0; round < 500; ++round) {
        std::string input(length(rng), '\0');
        for (char& c : input) c = static_cast<char>(byte(rng));
        UrlEncode(input.c_str(), out);
        ASSERT_EQ(out.back(), '\0');
        std::string encoded(out.data(), out.size() - 1), decoded;
        ASSERT_TRUE(Decode(encoded, decoded)) << encoded;
        ASSERT_EQ(decoded, input) << encoded;
    }
}

TEST(UrlEncode, IsExportedWithCLinkage) {
    void* symbol = dlsym(RTLD_DEFAULT, "UrlEncode");
    ASSERT_NE(symbol, nullptr);
    auto encode = reinterpret_cast<char* (*)(const char*, std::vector<char>&)>(symbol);
    std::vector<char> out;
    EXPECT_STREQ(encode("a=b", out), "a%3Db");
}

}  // namespace
}  // namespace kytest
