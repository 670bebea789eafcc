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

bool Variable(const std::string& name, CURL* handle, const WriteOutFacts& facts, std::string& out) {
    if (name == "http_code" || name == "response_code") {
        long code = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
        char text[16];
        snprintf(text, sizeof text, "%03ld", code);
        out = text;
    } else if (name == "time_total") {
        out = Seconds(handle, CURLINFO_TOTAL_TIME_T);
    } else if (name == "time_connect") {
        out = Seconds(handle, CURLINFO_CONNECT_TIME_T);
    } else if (name == "time_starttransfer") {
        out = Seconds(handle, CURLINFO_STARTTRANSFER_TIME_T);
    } else if (name == "size_download") {
        out = OffT(handle, CURLINFO_SIZE_DOWNLOAD_T);
    } else if (name == "speed_download") {
        out = OffT(handle, CURLINFO_SPEED_DOWNLOAD_T);
    } else if (name == "url_effective") {
        out = RedactUrl(Text(handle, CURLINFO_EFFECTIVE_URL));
    } else if (name == "content_type") {
        out = Text(handle, CURLINFO_CONTENT_TYPE);
    } else if (name == "remote_ip") {
        out = Text(handle, CURLINFO_PRIMARY_IP);
    } else if (name == "remote_port") {
        out = Long(handle, CURLINFO_PRIMARY_PORT);
    } else if (name == "num_redirects") {
        out = Long(handle, CURLINFO_REDIRECT_COUNT);
    } else if (name == "exitcode") {
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
