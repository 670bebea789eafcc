// The process-wide tunnel cache: key sharing, get/add/remove and their log lines.
#include <gtest/gtest.h>

#include <string>

#include "kylibcurl.h"
#include "support/log_capture.h"
#include "support/tppm_test_helpers.h"

namespace kytest {
namespace {

const char* const kTag = "TppmUrlMapInfo";

// Each test works on host names of its own, since the cache lives as long as the process.
class TppmCache : public ::testing::Test {
  protected:
    bool Get(const std::string& url, std::string& value) {
        return session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_GET);
    }
    bool Add(const std::string& url, std::string value) {
        return session.TppmUrlMapInfo(url, value, KYLibCurl::TPPM_CACHE_ADD);
    }
    bool Remove(const std::string& url) {
        std::string unused = "unused";
        return session.TppmUrlMapInfo(url, unused, KYLibCurl::TPPM_CACHE_REMOVE);
    }

    KYLibCurl session;
    kytest::LogCapture log{7};
};

TEST_F(TppmCache, AddThenGetWithTheirLines) {
    ASSERT_TRUE(Add("http://lines-host/a", "http://127.0.0.1:4001"));
    std::string value;
    ASSERT_TRUE(Get("http://lines-host/b", value));

    EXPECT_EQ(value, "http://127.0.0.1:4001");
    const std::vector<kytest::LogLine> expected = {
        {"-1", kTag, "Key:[lines-host:80] added to cache"},
        {"4", kTag, "value [http://127.0.0.1:4001] added to cache"},
        {"4", kTag, "Key: [lines-host:80] retrieved from cache with value [http://127.0.0.1:4001]"},
    };
    EXPECT_EQ(log.lines(), expected);
}

TEST_F(TppmCache, KeySharedAcrossSchemesButNotAcrossCase) {
    Add("http://shared-host/x", "http://127.0.0.1:4002");

    for (const char* url : {"https://shared-host:80/y", "http://shared-host:80/z", "ftp://shared-host"}) {
        std::string value;
        Get(url, value);
        EXPECT_EQ(value, "http://127.0.0.1:4002") << url;
    }
    std::string upper = "untouched";
    Get("http://SHARED-HOST/x", upper);
    EXPECT_EQ(upper, "untouched");
    std::string otherPort = "untouched";
    Get("http://shared-host:81/x", otherPort);
    EXPECT_EQ(otherPort, "untouched");
}

TEST_F(TppmCache, MissLeavesValueAloneAndLogsNothing) {
    std::string value = "what the caller had";

    EXPECT_TRUE(Get("http://never-added/x", value));

    EXPECT_EQ(value, "what the caller had");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(TppmCache, SecondAddWinsAndBothLog) {
    Add("http://twice-host:81/", "http://127.0.0.1:4003");
    Add("https://twice-host:81/other", "https://127.0.0.1:4004");
    std::string value;
    Get("http://twice-host:81", value);

    EXPECT_EQ(value, "https://127.0.0.1:4004");
    EXPECT_EQ(log.count("Key:[twice-host:81] added to cache"), 2u);
    EXPECT_TRUE(log.containsLine("4", kTag, "value [http://127.0.0.1:4003] added to cache"));
    EXPECT_TRUE(log.containsLine("4", kTag, "value [https://127.0.0.1:4004] added to cache"));
}

TEST_F(TppmCache, RemoveDropsTheEntryAndAlwaysLogs) {
    Add("http://removed-host/", "http://127.0.0.1:4005");

    EXPECT_TRUE(Remove("https://removed-host:80/elsewhere"));
    std::string value = "untouched";
    Get("http://removed-host/", value);
    EXPECT_EQ(value, "untouched");

    log.clear();
    EXPECT_TRUE(Remove("http://removed-host/"));
    const std::vector<kytest::LogLine> expected = {{"-1", kTag, "Key:[removed-host:80] removed from cache"}};
    EXPECT_EQ(log.lines(), expected);
}

TEST_F(TppmCache, OperationsOutsideOneToThreeDoNothing) {
    Add("http://op-host/", "http://127.0.0.1:4006");
    log.clear();

    for (int op : {0, 4, -1}) {
        std::string value = "given";
        EXPECT_TRUE(
            session.TppmUrlMapInfo("http://op-host/", value, static_cast<KYLibCurl::TPPM_CACHE_OPTYPE>(op)));
        EXPECT_EQ(value, "given");
    }
    EXPECT_TRUE(log.lines().empty());
    std::string value;
    Get("http://op-host/", value);
    EXPECT_EQ(value, "http://127.0.0.1:4006");
}

TEST_F(TppmCache, EmptyPrefixEntryIsFoundAndCopiedOut) {
    Add("http://empty-prefix-host/", "");
    std::string value = "before";

    Get("http://empty-prefix-host/x", value);

    EXPECT_EQ(value, "");
    EXPECT_TRUE(
        log.containsLine("4", kTag, "Key: [empty-prefix-host:80] retrieved from cache with value []"));
}

TEST_F(TppmCache, UrlsWithoutSchemeSeparatorArePassedOver) {
    EXPECT_TRUE(Add("no-scheme/path", "http://127.0.0.1:4007"));
    std::string value = "untouched";
    EXPECT_TRUE(Get("other-no-scheme/path", value));
    EXPECT_TRUE(Get("no-scheme/path", value));
    EXPECT_TRUE(Remove("no-scheme/path"));

    EXPECT_EQ(value, "untouched");
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace kytest
