// What the test server answers to one request, chosen by its path and query.
#ifndef KYTEST_REPLY_PLAN_H
#define KYTEST_REPLY_PLAN_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "support/test_server.h"

namespace kytest {

struct ReplyPlan {
    enum class Action {
        Answer,  // the whole reply
        Reset,   // no reply; the connection is reset
        Stall,   // no reply until the server stops
        Drop,    // the head and half the announced body, then the connection is closed
    };
    Action action = Action::Answer;
    int delayMs = 0;
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, Content-Length excluded
    std::string body;
    size_t announcedLength = 0;  // the Content-Length sent
    bool sendsLength = true;     // false for 1xx, 204 and 304
};

ReplyPlan PlanReply(const ReceivedRequest& request);

// Status line and header lines, ending with the empty line.
std::string ReplyHead(const ReplyPlan& plan, bool closing);

}  // namespace kytest

#endif
