// What the transfer facade adds to libcurl: number widening, callbacks passed as pointers, null guards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CurlWrapper.h"
#include "support/refused_port.h"

namespace kytest {
namespace {

CurlWrapper& facade() { return CurlWrapper::gCurlWrapper; }

class CurlWrapperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(facade().Curl_global_init(CURL_GLOBAL_ALL), CURLE_OK);
        m_handle = facade().Curl_easy_init();
        ASSERT_NE(m_handle, nullptr);
    }
    void TearDown() override { facade().Curl_easy_cleanup(m_handle); }
    void* m_handle = nullptr;
};

// libcurl rejects a redirect limit below -1, which it sees only when it reads the whole long: an int passed
// without widening would arrive as a large positive number and be accepted.
TEST_F(CurlWrapperTest, IntValueReachesLibcurlAsLong) {
    EXPECT_EQ(facade().Curl_easy_setopt(m_handle, CURLOPT_MAXREDIRS, -2), CURLE_BAD_FUNCTION_ARGUMENT);
    EXPECT_EQ(facade().Curl_easy_setopt(m_handle, CURLOPT_MAXREDIRS, -2L), CURLE_BAD_FUNCTION_ARGUMENT);
    EXPECT_EQ(facade().Curl_easy_setopt(m_handle, CURLOPT_MAXREDIRS, -1), CURLE_OK);
}

int recordText(CURL*, curl_infotype type, char* data, size_t size, void* userdata) {
    if (type == CURLINFO_TEXT) static_cast<std::vector<std::string>*>(userdata)->emplace_back(data, size);
    return 0;
}

TEST_F(CurlWrapperTest, CallbackPassedAsPointerIsCalledDuringPerform) {
    const kytest::RefusedPort refusing;
    ASSERT_NE(refusing.port(), 0);
    std::vector<std::string> texts;
    const std::string url = refusing.url();
    ASSERT_EQ(facade().Curl_easy_setopt(m_handle, CURLOPT_URL, url.c_str()), CURLE_OK);
    ASSERT_EQ(facade().Curl_easy_setopt(m_handle, CURLOPT_PROXY, ""), CURLE_OK);
    ASSERT_EQ(facade().Curl_easy_setopt(m_handle, CURLOPT_VERBOSE, 1), CURLE_OK);
    ASSERT_EQ(
        facade().Curl_easy_setopt(m_handle, CURLOPT_DEBUGFUNCTION, reinterpret_cast<void*>(&recordText)),
        CURLE_OK);
    ASSERT_EQ(facade().Curl_easy_setopt(m_handle, CURLOPT_DEBUGDATA, static_cast<void*>(&texts)), CURLE_OK);

    EXPECT_EQ(facade().Curl_easy_perform(m_handle), CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(texts.empty());
    long status = -1;
    EXPECT_EQ(facade().Curl_easy_getinfo(m_handle, CURLINFO_RESPONSE_CODE, &status), CURLE_OK);
    EXPECT_EQ(status, 0);
    EXPECT_STREQ(facade().Curl_easy_strerror(CURLE_COULDNT_CONNECT),
                 curl_easy_strerror(CURLE_COULDNT_CONNECT));
}

TEST_F(CurlWrapperTest, EscapeAndListsRefuseNullTexts) {
    char* escaped = facade().Curl_easy_escape(m_handle, "a b&c", 5);
    ASSERT_NE(escaped, nullptr);
    EXPECT_STREQ(escaped, "a%20b%26c");
    facade().Curl_free(escaped);
    EXPECT_EQ(facade().Curl_easy_escape(m_handle, nullptr, 0), nullptr);

    curl_slist* list = facade().Curl_slist_append(nullptr, "X-One: 1");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(facade().Curl_slist_append(list, nullptr), nullptr);
    EXPECT_EQ(list->next, nullptr);
    facade().Curl_slist_free_all(list);
}

}  // namespace
}  // namespace kytest
