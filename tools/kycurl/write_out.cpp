#include "write_out.h"

#include <curl/curl.h>
#include <strings.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "kylibcurl.h"
#include "messages.h"
#include "secrets.h"

namespace kycurl {

namespace {

// A variable's value: absent (nothing in text, null in JSON), a number or a text.
struct Value {
    enum Kind { None, Number, Text } kind = None;
    std::string text;
};

Value NumberValue(const std::string& text) { return {Value::Number, text}; }
Value TextValue(const std::string& text) { return {Value::Text, text}; }

struct Context {
    CURL* handle;
    const KYLibCurl& session;
    const WriteOutFacts& facts;
};

Value Seconds(const Context& c, CURLINFO info) {
    curl_off_t us = 0;
    if (curl_easy_getinfo(c.handle, info, &us) != CURLE_OK) return {};
    char text[48];
    snprintf(text, sizeof text, "%" PRId64 ".%06" PRId64, static_cast<int64_t>(us / 1000000),
             static_cast<int64_t>(us % 1000000));
    return NumberValue(text);
}

Value OffT(const Context& c, CURLINFO info) {
    curl_off_t value = 0;
    if (curl_easy_getinfo(c.handle, info, &value) != CURLE_OK) return {};
    return NumberValue(std::to_string(static_cast<long long>(value)));
}

Value Long(const Context& c, CURLINFO info) {
    long value = 0;
    if (curl_easy_getinfo(c.handle, info, &value) != CURLE_OK) return {};
    return NumberValue(std::to_string(value));
}

Value Text(const Context& c, CURLINFO info) {
    char* value = nullptr;
    if (curl_easy_getinfo(c.handle, info, &value) != CURLE_OK || !value) return {};
    return TextValue(value);
}

Value RedactedText(const Context& c, CURLINFO info) {
    Value value = Text(c, info);
    value.text = RedactUrl(value.text);
    return value;
}

// The status as three digits in text, a plain number in JSON: the JSON writer takes the number.
Value HttpCode(const Context& c, CURLINFO info) { return Long(c, info); }

Value HttpVersion(const Context& c, CURLINFO info) {
    long version = 0;
    if (curl_easy_getinfo(c.handle, info, &version) != CURLE_OK) return {};
    switch (version) {
        case CURL_HTTP_VERSION_NONE:
            return TextValue("0");
        case CURL_HTTP_VERSION_1_0:
            return TextValue("1");
        case CURL_HTTP_VERSION_1_1:
            return TextValue("1.1");
        case CURL_HTTP_VERSION_2:
            return TextValue("2");
        case CURL_HTTP_VERSION_3:
            return TextValue("3");
        default:
            return {};
    }
}

Value Certs(const Context& c, CURLINFO) {
    curl_certinfo* certs = nullptr;
    if (curl_easy_getinfo(c.handle, CURLINFO_CERTINFO, &certs) != CURLE_OK || !certs) return TextValue("");
    std::string text;
    for (int i = 0; i < certs->num_of_certs; ++i) {
        for (curl_slist* line = certs->certinfo[i]; line; line = line->next) {
            text += strncasecmp(line->data, "cert:", 5) == 0 ? line->data + 5 : line->data;
            if (!text.empty() && text.back() != '\n') text += '\n';
        }
    }
    return TextValue(text);
}

Value NumCerts(const Context& c, CURLINFO) {
    curl_certinfo* certs = nullptr;
    curl_easy_getinfo(c.handle, CURLINFO_CERTINFO, &certs);
    return NumberValue(std::to_string(certs ? certs->num_of_certs : 0));
}

Value ErrorMessage(const Context& c, CURLINFO) {
    if (c.facts.exitCode == 0) return {};
    return TextValue(c.facts.errorMessage);
}

Value ExitCode(const Context& c, CURLINFO) { return NumberValue(std::to_string(c.facts.exitCode)); }

Value FileName(const Context& c, CURLINFO) {
    if (c.facts.outputFile.empty()) return {};
    return TextValue(c.facts.outputFile);
}

Value InputUrl(const Context& c, CURLINFO) { return TextValue(c.facts.url); }

Value UrlNumber(const Context& c, CURLINFO) { return NumberValue(std::to_string(c.facts.urlNumber)); }

Value TunnelUrl(const Context& c, CURLINFO) { return TextValue(c.facts.tunnelUrl); }

// The header lines of the last reply: those after its status line.
Value NumHeaders(const Context& c, CURLINFO) {
    long count = 0;
    for (const curl_slist* line = c.session.m_respHeaders; line; line = line->next) {
        if (strncmp(line->data, "HTTP/", 5) == 0) {
            count = 0;
        } else if (strchr(line->data, ':')) {
            ++count;
        }
    }
    return NumberValue(std::to_string(count));
}

enum class Special { None, OnError, Stdout, Stderr, Json, HeaderJson };

struct Variable {
    const char* name;
    Value (*read)(const Context&, CURLINFO);
    CURLINFO info;
    Special special;
};

// curl's variables in its order (which --write-out '%{json}' keeps), and kycurl's own tunnel_url.
const Variable kVariables[] = {
    {"certs", Certs, CURLINFO_NONE, Special::None},
    {"content_type", Text, CURLINFO_CONTENT_TYPE, Special::None},
    {"errormsg", ErrorMessage, CURLINFO_NONE, Special::None},
    {"exitcode", ExitCode, CURLINFO_NONE, Special::None},
    {"filename_effective", FileName, CURLINFO_NONE, Special::None},
    {"ftp_entry_path", Text, CURLINFO_FTP_ENTRY_PATH, Special::None},
    {"header_json", nullptr, CURLINFO_NONE, Special::HeaderJson},
    {"http_code", HttpCode, CURLINFO_RESPONSE_CODE, Special::None},
    {"http_connect", HttpCode, CURLINFO_HTTP_CONNECTCODE, Special::None},
    {"http_version", HttpVersion, CURLINFO_HTTP_VERSION, Special::None},
    {"json", nullptr, CURLINFO_NONE, Special::Json},
    {"local_ip", Text, CURLINFO_LOCAL_IP, Special::None},
    {"local_port", Long, CURLINFO_LOCAL_PORT, Special::None},
    {"method", Text, CURLINFO_EFFECTIVE_METHOD, Special::None},
    {"num_certs", NumCerts, CURLINFO_NONE, Special::None},
    {"num_connects", Long, CURLINFO_NUM_CONNECTS, Special::None},
    {"num_headers", NumHeaders, CURLINFO_NONE, Special::None},
    {"num_redirects", Long, CURLINFO_REDIRECT_COUNT, Special::None},
    {"onerror", nullptr, CURLINFO_NONE, Special::OnError},
    {"proxy_ssl_verify_result", Long, CURLINFO_PROXY_SSL_VERIFYRESULT, Special::None},
    {"redirect_url", Text, CURLINFO_REDIRECT_URL, Special::None},
    {"referer", Text, CURLINFO_REFERER, Special::None},
    {"remote_ip", Text, CURLINFO_PRIMARY_IP, Special::None},
    {"remote_port", Long, CURLINFO_PRIMARY_PORT, Special::None},
    {"response_code", HttpCode, CURLINFO_RESPONSE_CODE, Special::None},
    {"scheme", Text, CURLINFO_SCHEME, Special::None},
    {"size_download", OffT, CURLINFO_SIZE_DOWNLOAD_T, Special::None},
    {"size_header", Long, CURLINFO_HEADER_SIZE, Special::None},
    {"size_request", Long, CURLINFO_REQUEST_SIZE, Special::None},
    {"size_upload", OffT, CURLINFO_SIZE_UPLOAD_T, Special::None},
    {"speed_download", OffT, CURLINFO_SPEED_DOWNLOAD_T, Special::None},
    {"speed_upload", OffT, CURLINFO_SPEED_UPLOAD_T, Special::None},
    {"ssl_verify_result", Long, CURLINFO_SSL_VERIFYRESULT, Special::None},
    {"stderr", nullptr, CURLINFO_NONE, Special::Stderr},
    {"stdout", nullptr, CURLINFO_NONE, Special::Stdout},
    {"time_appconnect", Seconds, CURLINFO_APPCONNECT_TIME_T, Special::None},
    {"time_connect", Seconds, CURLINFO_CONNECT_TIME_T, Special::None},
    {"time_namelookup", Seconds, CURLINFO_NAMELOOKUP_TIME_T, Special::None},
    {"time_pretransfer", Seconds, CURLINFO_PRETRANSFER_TIME_T, Special::None},
    {"time_redirect", Seconds, CURLINFO_REDIRECT_TIME_T, Special::None},
    {"time_starttransfer", Seconds, CURLINFO_STARTTRANSFER_TIME_T, Special::None},
    {"time_total", Seconds, CURLINFO_TOTAL_TIME_T, Special::None},
    {"url", InputUrl, CURLINFO_NONE, Special::None},
    {"url_effective", RedactedText, CURLINFO_EFFECTIVE_URL, Special::None},
    {"urlnum", UrlNumber, CURLINFO_NONE, Special::None},
    {"tunnel_url", TunnelUrl, CURLINFO_NONE, Special::None},
};

bool IsHttpCode(const Variable& v) {
    return v.info == CURLINFO_RESPONSE_CODE || v.info == CURLINFO_HTTP_CONNECTCODE;
}

// curl's JSON text, its escapes as they are (a control byte as "u00XX").
void JsonString(FILE* out, const std::string& text, bool lowercase) {
    fputc('"', out);
    for (char c : text) {
        switch (c) {
            case '\\':
                fputs("\\\\", out);
                break;
            case '"':
                fputs("\\\"", out);
                break;
            case '\b':
                fputs("\\b", out);
                break;
            case '\f':
                fputs("\\f", out);
                break;
            case '\n':
                fputs("\\n", out);
                break;
            case '\r':
                fputs("\\r", out);
                break;
            case '\t':
                fputs("\\t", out);
                break;
            default:
                if (static_cast<signed char>(c) < 32) {
                    fprintf(out, "u%04x", c);
                } else {
                    fputc(lowercase && c >= 'A' && c <= 'Z' ? c | ('a' - 'A') : c, out);
                }
        }
    }
    fputc('"', out);
}

void WriteText(FILE* out, const Variable& v, const Context& c) {
    Value value = v.read(c, v.info);
    if (value.kind == Value::None) return;
    if (IsHttpCode(v)) {
        fprintf(out, "%03ld", strtol(value.text.c_str(), nullptr, 10));
        return;
    }
    fputs(value.text.c_str(), out);
}

void WriteJson(FILE* out, const Context& c) {
    fputc('{', out);
    for (const Variable& v : kVariables) {
        if (!v.read || strcmp(v.name, "tunnel_url") == 0) continue;
        Value value = v.read(c, v.info);
        fprintf(out, "\"%s\":", v.name);
        if (value.kind == Value::None) {
            fputs("null", out);
        } else if (value.kind == Value::Number) {
            fputs(value.text.c_str(), out);
        } else {
            JsonString(out, value.text, false);
        }
        fputc(',', out);
    }
    fputs("\"curl_version\":", out);
    JsonString(out, curl_version(), false);
    fputc('}', out);
}

// Every reply header of the last reply, by lower-case name, each with its list of values.
void WriteHeaderJson(FILE* out, CURL* handle) {
    fputc('{', out);
    curl_header* previous = nullptr;
    while (curl_header* header = curl_easy_nextheader(handle, CURLH_HEADER, -1, previous)) {
        if (header->amount > 1 && header->index != 0) {
            continue;
        }
        if (previous) fputs(",\n", out);
        JsonString(out, header->name, true);
        fputs(":[", out);
        const std::string name = header->name;
        previous = header;
        for (size_t i = 0; i < header->amount; ++i) {
            curl_header* one = nullptr;
            if (i > 0) fputc(',', out);
            if (curl_easy_header(handle, name.c_str(), i, CURLH_HEADER, -1, &one) != CURLHE_OK) break;
            JsonString(out, one->value, false);
        }
        fputc(']', out);
    }
    fputs("\n}", out);
}

// One reply header's value: %header{name}.
void WriteHeader(FILE* out, CURL* handle, const std::string& name) {
    curl_header* header = nullptr;
    if (name.size() < 256 &&
        curl_easy_header(handle, name.c_str(), 0, CURLH_HEADER, -1, &header) == CURLHE_OK)
        fputs(header->value, out);
}

const Variable* Find(const std::string& name) {
    for (const Variable& v : kVariables) {
        if (strcasecmp(name.c_str(), v.name) == 0) return &v;
    }
    return nullptr;
}

// \n, \r and \t; any other pair is written as it stands.
void Escape(FILE* out, char c) {
    switch (c) {
        case 'n':
            fputc('\n', out);
            break;
        case 'r':
            fputc('\r', out);
            break;
        case 't':
            fputc('\t', out);
            break;
        default:
            fputc('\\', out);
            fputc(c, out);
    }
}

}  // namespace

void WriteOut(const std::string& format, const KYLibCurl& session, const WriteOutFacts& facts) {
    const Context c{session.m_curlHandle, session, facts};
    FILE* out = stdout;
    for (size_t i = 0; i < format.size(); ++i) {
        const char ch = format[i];
        if (ch == '\\' && i + 1 < format.size()) {
            Escape(out, format[++i]);
            continue;
        }
        if (ch != '%' || i + 1 >= format.size()) {
            fputc(ch, out);
            continue;
        }
        if (format[i + 1] == '%') {
            fputc('%', out);
            ++i;
            continue;
        }
        if (format.compare(i + 1, 7, "header{") == 0) {
            const size_t close = format.find('}', i + 8);
            if (close == std::string::npos) {
                fputs("%header{", out);
                i += 7;
                continue;
            }
            WriteHeader(out, c.handle, format.substr(i + 8, close - i - 8));
            i = close;
            continue;
        }
        if (format[i + 1] != '{') {
            fputc('%', out);
            fputc(format[++i], out);
            continue;
        }
        const size_t close = format.find('}', i);
        if (close == std::string::npos) {
            fputs("%{", out);
            ++i;
            continue;
        }
        const std::string name = format.substr(i + 2, close - i - 2);
        i = close;
        const Variable* v = Find(name);
        if (!v) {
            PrintError("unknown --write-out variable: '" + name + "'");
            continue;
        }
        switch (v->special) {
            case Special::OnError:
                if (facts.exitCode == 0) return;
                break;
            case Special::Stdout:
                out = stdout;
                break;
            case Special::Stderr:
                out = stderr;
                break;
            case Special::Json:
                WriteJson(out, c);
                break;
            case Special::HeaderJson:
                WriteHeaderJson(out, c.handle);
                break;
            case Special::None:
                WriteText(out, *v, c);
                break;
        }
    }
    fflush(stdout);
}

}  // namespace kycurl
