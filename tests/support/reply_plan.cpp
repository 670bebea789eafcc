#include "support/reply_plan.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>

#include "support/bytes_pattern.h"
#include "support/request_target.h"

namespace kytest {

namespace {

constexpr unsigned long kBytesLimit = 512ul * 1024 * 1024;
constexpr unsigned long kDelayLimitMs = 10ul * 60 * 1000;

bool parseNumber(const std::string& text, unsigned long limit, unsigned long& value) {
    if (text.empty() || text.size() > 12) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    value = std::strtoul(text.c_str(), nullptr, 10);
    return value <= limit;
}

bool hasPrefix(const std::string& text, const char* prefix, std::string& rest) {
    std::string head(prefix);
    if (text.compare(0, head.size(), head) != 0) return false;
    rest = text.substr(head.size());
    return true;
}

bool isControl(const std::string& name) { return name == "status" || name == "delay"; }

// "method target\n", every header line as received, an empty line, then the decoded body.
std::string echoBody(const ReceivedRequest& request) {
    std::string text = request.method + " " + request.target + "\n";
    size_t at = request.raw.find("\r\n") + 2;
    size_t headEnd = request.raw.find("\r\n\r\n");
    while (at < headEnd + 2) {
        size_t stop = request.raw.find("\r\n", at);
        text.append(request.raw, at, stop - at);
        text += '\n';
        at = stop + 2;
    }
    return text + "\n" + request.body;
}

void setBody(ReplyPlan& plan, std::string body) {
    bool bodiless = plan.status < 200 || plan.status == 204 || plan.status == 304;
    plan.sendsLength = !bodiless;
    plan.body = bodiless ? std::string() : std::move(body);
    plan.announcedLength = plan.body.size();
}

void badRequest(ReplyPlan& plan) {
    plan = ReplyPlan();
    plan.status = 400;
    plan.headers = {{"Content-Type", "text/plain"}};
    setBody(plan, "bad request");
}

void addQueryHeaders(ReplyPlan& plan, const RequestTarget& target) {
    for (const auto& entry : target.query) {
        if (isControl(entry.first)) continue;
        if (strcasecmp(entry.first.c_str(), "Content-Type") == 0) {
            plan.headers[0].second = entry.second;
            continue;
        }
        plan.headers.emplace_back(entry.first, entry.second);
    }
}

void addCookies(ReplyPlan& plan, const RequestTarget& target) {
    for (const auto& entry : target.query) {
        if (isControl(entry.first)) continue;
        plan.headers.emplace_back("Set-Cookie", entry.first + "=" + entry.second + "; Path=/");
    }
}

// ?status=N and ?delay=MS; false when either is not a valid number.
bool applyControls(const RequestTarget& target, ReplyPlan& plan) {
    unsigned long number = 0;
    std::string status = target.param("status");
    std::string delay = target.param("delay");
    if (!status.empty()) {
        if (!parseNumber(status, 999, number) || number < 100) return false;
        plan.status = static_cast<int>(number);
    }
    if (!delay.empty()) {
        if (!parseNumber(delay, kDelayLimitMs, number)) return false;
        plan.delayMs = static_cast<int>(number);
    }
    return true;
}

// Fills the plan for one path; false when the path's number is not valid.
bool planPath(const ReceivedRequest& request, const RequestTarget& target, ReplyPlan& plan) {
    std::string rest;
    unsigned long number = 0;
    if (target.path == "/echo") {
        setBody(plan, echoBody(request));
    } else if (hasPrefix(target.path, "/status/", rest)) {
        if (!parseNumber(rest, 999, number) || number < 100) return false;
        plan.status = static_cast<int>(number);
        setBody(plan, "status " + rest);
    } else if (hasPrefix(target.path, "/bytes/", rest)) {
        if (!parseNumber(rest, kBytesLimit, number)) return false;
        setBody(plan, Pattern(number));
    } else if (hasPrefix(target.path, "/delay/", rest)) {
        if (!parseNumber(rest, kDelayLimitMs, number)) return false;
        plan.delayMs += static_cast<int>(number);
        setBody(plan, "delayed");
    } else if (target.path == "/reset") {
        plan.action = ReplyPlan::Action::Reset;
    } else if (target.path == "/stall") {
        plan.action = ReplyPlan::Action::Stall;
    } else if (hasPrefix(target.path, "/drop/", rest)) {
        if (!parseNumber(rest, kBytesLimit, number)) return false;
        plan.action = ReplyPlan::Action::Drop;
        plan.body = Pattern(number);
        plan.announcedLength = 2 * number;
    } else if (target.path == "/cookie/set") {
        addCookies(plan, target);
        setBody(plan, "ok");
    } else if (target.path == "/header") {
        addQueryHeaders(plan, target);
        setBody(plan, "ok");
    } else {
        setBody(plan, "ok");
    }
    return true;
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 202:
            return "Accepted";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 303:
            return "See Other";
        case 304:
            return "Not Modified";
        case 307:
            return "Temporary Redirect";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "Status";
    }
}

}  // namespace

ReplyPlan PlanReply(const ReceivedRequest& request) {
    RequestTarget target = ParseRequestTarget(request.target);
    ReplyPlan plan;
    plan.headers = {{"Content-Type", "text/plain"}};
    if (!applyControls(target, plan) || !planPath(request, target, plan)) badRequest(plan);
    return plan;
}

std::string ReplyHead(const ReplyPlan& plan, bool closing) {
    std::string head = "HTTP/1.1 " + std::to_string(plan.status) + " " + reasonPhrase(plan.status) + "\r\n";
    for (const auto& entry : plan.headers) head += entry.first + ": " + entry.second + "\r\n";
    if (plan.sendsLength) head += "Content-Length: " + std::to_string(plan.announcedLength) + "\r\n";
    if (closing) head += "Connection: close\r\n";
    return head + "\r\n";
}

}  // namespace kytest
