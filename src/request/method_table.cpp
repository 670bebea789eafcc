#include "request/method_table.h"

#include <cstdint>

namespace kylibcurl::detail {

namespace {

// Names no libcurl option, so installing it fails and a request of an unknown type never goes out.
constexpr CURLoption kNoMethodOption = static_cast<CURLoption>(10265);

constexpr RequestMethod kMethods[] = {
    {"GET", false, BodyStep::EmptyBody, false, CURLOPT_HTTPGET, false, 1},
    {"POST", false, BodyStep::CallerBody, true, CURLOPT_POST, false, 1},
    {"PUT", false, BodyStep::CallerBody, true, CURLOPT_CUSTOMREQUEST, true, 0},
    {"DELETE", false, BodyStep::CallerBody, true, CURLOPT_CUSTOMREQUEST, true, 0},
    {"HEAD", false, BodyStep::CallerBody, false, CURLOPT_NOBODY, false, 1},
    {"PATCH", false, BodyStep::CallerBody, true, CURLOPT_CUSTOMREQUEST, true, 0},
};

constexpr RequestMethod kHttpReqUnknown = {"UNKNOWN", true, BodyStep::NoBody, false, kNoMethodOption,
                                           false,     1};
constexpr RequestMethod kOutOfRange = {"UNKNOWN", false, BodyStep::NoBody, false, kNoMethodOption, false, 1};

}  // namespace

const RequestMethod& RequestMethodFor(_http_req_type_ type) {
    // Compared unsigned, so negative values count as above the known range.
    const auto index = static_cast<uint32_t>(type);
    if (index < sizeof kMethods / sizeof kMethods[0]) return kMethods[index];
    if (index == static_cast<uint32_t>(HTTP_REQ_UNKNOWN)) return kHttpReqUnknown;
    return kOutOfRange;
}

}  // namespace kylibcurl::detail

const char* KYLibCurl::GetHttpReqTypeString(_http_req_type_ type) {
    return kylibcurl::detail::RequestMethodFor(type).text;
}
