#include "write_out.h"

#include <curl/curl.h>

#include <cinttypes>
#include <cstdio>

#include "kylibcurl.h"
#include "secrets.h"

namespace kycurl {

namespace {

std::string Seconds(CURL* handle, CURLINFO info) {
    curl_off_t us = 0;
    curl_easy_getinfo(handle, info, &us);
    char text[48];
    snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64, static_cast<int64_t>(us / 1000000),
             static_cast<int64_t>(us % 1000000));
    return text;
}

std::string OffT(CURL* handle, CURLINFO info) {
    curl_off_t value = 0;
    curl_easy_getinfo(handle, info, &value);
    return std::to_string(static_cast<long long>(value));
}

std::string Long(CURL* handle, CURLINFO info) {
    long value = 0;
    curl_easy_getinfo(handle, info, &value);
    return std::to_string(value);
}

std::string Text(CURL* handle, CURLINFO info) {
    char* value = nullptr;
    curl_easy_getinfo(handle, info, &value);
    return value ? value : "";
}

std::string HttpCode(CURL* handle, CURLINFO info) {
    long code = 0;
    curl_easy_getinfo(handle, info, &code);
    char text[16];
    snprintf(text, sizeof text, "%03ld", code);
    return text;
}

std::string RedactedText(CURL* handle, CURLINFO info) { return RedactUrl(Text(handle, info)); }

// The variables libcurl knows, each with how its value is read and written out.
const struct {
    const char* name;
    std::string (*read)(CURL*, CURLINFO);
    CURLINFO info;
} kHandleVariables[] = {
    {"http_code", HttpCode, CURLINFO_RESPONSE_CODE},
    {"response_code", HttpCode, CURLINFO_RESPONSE_CODE},
    {"time_total", Seconds, CURLINFO_TOTAL_TIME_T},
    {"time_connect", Seconds, CURLINFO_CONNECT_TIME_T},
    {"time_starttransfer", Seconds, CURLINFO_STARTTRANSFER_TIME_T},
    {"size_download", OffT, CURLINFO_SIZE_DOWNLOAD_T},
    {"speed_download", OffT, CURLINFO_SPEED_DOWNLOAD_T},
    {"url_effective", RedactedText, CURLINFO_EFFECTIVE_URL},
    {"content_type", Text, CURLINFO_CONTENT_TYPE},
    {"remote_ip", Text, CURLINFO_PRIMARY_IP},
    {"remote_port", Long, CURLINFO_PRIMARY_PORT},
    {"num_redirects", Long, CURLINFO_REDIRECT_COUNT},
    {"num_connects", Long, CURLINFO_NUM_CONNECTS},
    {"local_ip", Text, CURLINFO_LOCAL_IP},
    {"local_port", Long, CURLINFO_LOCAL_PORT},
};

bool Variable(const std::string& name, CURL* handle, const WriteOutFacts& facts, std::string& out) {
    for (const auto& variable : kHandleVariables) {
        if (name != variable.name) continue;
        out = variable.read(handle, variable.info);
        return true;
    }
    if (name == "exitcode") {
        out = std::to_string(facts.exitCode);
    } else if (name == "errormsg") {
        out = facts.errorMessage;
    } else if (name == "tunnel_url") {
        out = facts.tunnelUrl;
    } else {
        return false;
    }
    return true;
}

// curl knows \n, \r and \t; any other pair is written as it stands.
std::string Escape(char c) {
    switch (c) {
        case 'n':
            return "\n";
        case 'r':
            return "\r";
        case 't':
            return "\t";
        default:
            return std::string("\\") + c;
    }
}

}  // namespace

std::string FormatWriteOut(const std::string& format, const KYLibCurl& session, const WriteOutFacts& facts,
                           std::string& unknown) {
    CURL* handle = session.m_curlHandle;
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c == '\\' && i + 1 < format.size()) {
            out += Escape(format[++i]);
            continue;
        }
        if (c != '%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        if (format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        size_t close = format.find('}', i);
        if (format[i + 1] != '{' || close == std::string::npos) {
            out += c;
            continue;
        }
        std::string name = format.substr(i + 2, close - i - 2);
        std::string value;
        if (Variable(name, handle, facts, value)) {
            out += value;
        } else if (unknown.empty()) {
            unknown = name;
        }
        i = close;
    }
    return out;
}

}  // namespace kycurl
