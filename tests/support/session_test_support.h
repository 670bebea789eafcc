// What the session tests share: an initialised session beside a test server, and small shortcuts.
#ifndef KYTEST_SESSION_TEST_SUPPORT_H
#define KYTEST_SESSION_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <string>

#include "kylibcurl.h"
#include "support/test_server.h"

namespace kytest {

inline bool Fetch(KYLibCurl& session, const std::string& url) {
    return session.KYCurlSetUrl(url.c_str()) && session.KYCurlPostSubmitForm();
}

class ServedSession : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(session.KYLibCurlInit()); }
    bool Fetch(const std::string& path) { return kytest::Fetch(session, server.url(path)); }

    kytest::TestServer server;
    KYLibCurl session;
};

}  // namespace kytest

#endif
