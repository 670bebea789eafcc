// Where a session's reply header list ends, kept between transfers: finding the end costs the same however
// many lines the session keeps, and an end that may no longer belong to the list is never used. The
// record is internal to the library: this test links the library's objects of it and counts the lines walked.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kylibcurl.h"
#include "session/side_tables.h"

namespace kytest {
namespace {

using kylibcurl::detail::EndRecord;
using kylibcurl::detail::ForgetReplyLinesEnd;
using kylibcurl::detail::kRecords;
using kylibcurl::detail::NoteReplyLinesEnd;
using kylibcurl::detail::RecordFor;
using kylibcurl::detail::ReplyLinesEnd;
using kylibcurl::detail::ReplyLinesWalked;

constexpr int kLinesPerReply = 6;

// One transfer's lines as the header callback appends them: at the end found, then at each new line.
void AppendReply(KYLibCurl& session, int reply) {
    curl_slist* end = ReplyLinesEnd(session);
    for (int i = 0; i < kLinesPerReply; ++i) {
        const std::string line = "X-Reply-" + std::to_string(reply) + ": " + std::to_string(i);
        curl_slist* appended = curl_slist_append(end, line.c_str());
        ASSERT_NE(appended, nullptr);
        if (!end) session.m_respHeaders = appended;
        end = end ? end->next : appended;
    }
    NoteReplyLinesEnd(session, session.m_respHeaders, end);
}

size_t LineCount(const curl_slist* line) {
    size_t count = 0;
    for (; line; line = line->next) ++count;
    return count;
}

curl_slist* TrueEnd(curl_slist* line) {
    while (line && line->next) line = line->next;
    return line;
}

// Releases the list as KYLibCurlFreeHttpHeaderList does.
void Release(KYLibCurl& session) {
    ForgetReplyLinesEnd(session);
    curl_slist_free_all(session.m_respHeaders);
    session.m_respHeaders = nullptr;
}

// The loop of a session that keeps its lines: the thousandth reply walks no more lines than the second.
TEST(ReplyLinesEnd, KeptLinesAreNotWalkedAgain) {
    KYLibCurl session;
    AppendReply(session, 0);
    const size_t before = ReplyLinesWalked();
    for (int reply = 1; reply <= 2000; ++reply) AppendReply(session, reply);
    EXPECT_EQ(ReplyLinesWalked(), before);
    EXPECT_EQ(LineCount(session.m_respHeaders), size_t{2001} * kLinesPerReply);
    EXPECT_STREQ(TrueEnd(session.m_respHeaders)->data, "X-Reply-2000: 5");
    Release(session);
}

// Whatever happened to the list since an end was noted, the end found is the list's own.
TEST(ReplyLinesEnd, AnEndThatMayNotBelongToTheListIsNotUsed) {
    KYLibCurl session;
    AppendReply(session, 0);

    // Lines appended by other means are passed over from the noted end, and only they.
    session.m_respHeaders = curl_slist_append(session.m_respHeaders, "X-Other: 1");
    size_t before = ReplyLinesWalked();
    EXPECT_EQ(ReplyLinesEnd(session), TrueEnd(session.m_respHeaders));
    EXPECT_EQ(ReplyLinesWalked(), before + 1);

    // A released list's end is forgotten: a new list, wherever it lies, is walked.
    Release(session);
    EXPECT_EQ(ReplyLinesEnd(session), nullptr);
    session.m_respHeaders = curl_slist_append(curl_slist_append(nullptr, "X-New: 1"), "X-New: 2");
    EXPECT_EQ(ReplyLinesEnd(session), TrueEnd(session.m_respHeaders));

    // A list that starts elsewhere than the noted one is walked.
    NoteReplyLinesEnd(session, session.m_respHeaders, session.m_respHeaders);
    curl_slist* first = session.m_respHeaders;
    session.m_respHeaders = first->next;
    first->next = nullptr;
    EXPECT_EQ(ReplyLinesEnd(session), session.m_respHeaders);
    curl_slist_free_all(first);
    Release(session);
}

// Two sessions that share a record take turns in it: each finds its own end.
TEST(ReplyLinesEnd, SessionsSharingARecordFindTheirOwnEnds) {
    std::vector<std::unique_ptr<KYLibCurl>> sessions;
    KYLibCurl* first = nullptr;
    KYLibCurl* second = nullptr;
    for (size_t i = 0; i <= kRecords && !second; ++i) {
        sessions.push_back(std::make_unique<KYLibCurl>());
        for (size_t j = 0; j + 1 < sessions.size() && !second; ++j)
            if (&RecordFor(*sessions[j]) == &RecordFor(*sessions.back())) {
                first = sessions[j].get();
                second = sessions.back().get();
            }
    }
    ASSERT_NE(second, nullptr);
    for (int reply = 0; reply < 4; ++reply) {
        AppendReply(*first, reply);
        AppendReply(*second, reply);
    }
    EXPECT_EQ(ReplyLinesEnd(*first), TrueEnd(first->m_respHeaders));
    EXPECT_EQ(ReplyLinesEnd(*second), TrueEnd(second->m_respHeaders));
    EXPECT_EQ(LineCount(first->m_respHeaders), size_t{4} * kLinesPerReply);
    Release(*first);
    Release(*second);
}

// A record another thread holds (or held when the process forked) is never waited for: the end is found
// by walking, and an end that could not be forgotten there is void.
TEST(ReplyLinesEnd, ARecordInUseIsPassedBy) {
    KYLibCurl session;
    AppendReply(session, 0);
    EndRecord& record = RecordFor(session);
    record.inUse = true;
    size_t before = ReplyLinesWalked();
    EXPECT_EQ(ReplyLinesEnd(session), TrueEnd(session.m_respHeaders));
    EXPECT_EQ(ReplyLinesWalked(), before + kLinesPerReply - 1);
    ForgetReplyLinesEnd(session);  // cannot clear the record: voids every noted end instead
    record.inUse = false;
    before = ReplyLinesWalked();
    EXPECT_EQ(ReplyLinesEnd(session), TrueEnd(session.m_respHeaders));
    EXPECT_EQ(ReplyLinesWalked(), before + kLinesPerReply - 1);
    Release(session);
}

// Sessions on several threads at once, some sharing records.
TEST(ReplyLinesEnd, ThreadsKeepTheirSessionsApart) {
    constexpr int kThreads = 8;
    std::vector<std::unique_ptr<KYLibCurl>> sessions;
    for (int t = 0; t < kThreads; ++t) sessions.push_back(std::make_unique<KYLibCurl>());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&session = *sessions[t]] {
            for (int round = 0; round < 20; ++round) {
                for (int reply = 0; reply < 50; ++reply) AppendReply(session, reply);
                if (LineCount(session.m_respHeaders) != size_t{50} * kLinesPerReply) return;
                Release(session);
            }
        });
    for (std::thread& thread : threads) thread.join();
    for (const auto& session : sessions) EXPECT_EQ(session->m_respHeaders, nullptr);
}

}  // namespace
}  // namespace kytest
