// Figure 5: UrlEncode, dumpTrace into a memory stream and GetUrlKey, each beside a baseline that does the
// same job another way: libcurl's own percent-escaping, the same trace record written a row at a time, and
// a split of the URL into the same four results.
#include <curl/curl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "clocks.h"
#include "figures.h"
#include "kylibcurl.h"
#include "plain_trace_dump.h"
#include "rounds.h"

namespace kybench {
namespace {

constexpr size_t kTextBytes = 64 * 1024;
constexpr int kEncodeCalls = 100;
constexpr size_t kTraceBlock = 16 * 1024;
constexpr int kTraceCalls = 100;
constexpr int kKeyCalls = 200000;

// Form text: words, spaces, punctuation and some UTF-8, like the values callers encode.
std::string FormText(size_t bytes) {
    const char* pieces[] = {"name=", "Jos\xC3\xA9 ",   "M\xC3\xBCller", "&city=", "S\xC3\xA3o Paulo",
                            "; ",    "order-42_x.y*z", "~100% ",        "a/b?c",  " "};
    std::string text;
    for (size_t i = 0; text.size() < bytes; ++i) text += pieces[i % (sizeof pieces / sizeof *pieces)];
    text.resize(bytes);
    return text;
}

// A header-like text block of CR LF lines, as the trace sees most.
std::string TraceBlock(size_t bytes) {
    std::string block;
    for (int i = 0; block.size() < bytes; ++i)
        block += "X-Header-" + std::to_string(i) + ": value with some text and a number " +
                 std::to_string(i * 7) + "\r\n";
    block.resize(bytes);
    return block;
}

Measurement BytesPerSecondOf(size_t bytes, int calls, const std::function<void()>& call) {
    return [bytes, calls, call] {
        int64_t start = WallNs();
        for (int i = 0; i < calls; ++i) call();
        return static_cast<double>(bytes) * calls * 1e9 / static_cast<double>(WallNs() - start);
    };
}

void MeasureUrlEncode(const SuiteOptions& options, Report& report) {
    const std::string text = FormText(kTextBytes);
    std::vector<char> out;
    CURL* handle = curl_easy_init();
    auto library = BytesPerSecondOf(text.size(), kEncodeCalls, [&] { UrlEncode(text.c_str(), out); });
    auto baseline = BytesPerSecondOf(text.size(), kEncodeCalls, [&] {
        curl_free(curl_easy_escape(handle, text.c_str(), static_cast<int>(text.size())));
    });
    auto rates = RotateRounds(options.Rounds(21), {library, baseline});
    curl_easy_cleanup(handle);
    report.Add({"UrlEncode, 64 KiB form text",
                BytesPerSecond(Median(rates[0])),
                "curl_easy_escape " + BytesPerSecond(Median(rates[1])),
                MedianRatio(rates[0], rates[1]),
                {}});
}

// The record both dumpers write for the block, so the baseline is known to do the same work.
std::string DumpedText(const std::string& block, char textOnly, bool plain) {
    char* text = nullptr;
    size_t length = 0;
    FILE* stream = open_memstream(&text, &length);
    if (!stream) return "";
    auto* data = reinterpret_cast<const unsigned char*>(block.data());
    if (plain)
        PlainTraceDump("<= Recv header", stream, data, block.size(), textOnly != 0);
    else
        KYLibCurl::dumpTrace("<= Recv header", stream, const_cast<unsigned char*>(data), block.size(),
                             textOnly);
    fclose(stream);
    std::string result(text, length);
    free(text);
    return result;
}

void MeasureDumpTrace(const SuiteOptions& options, Report& report, char textOnly) {
    const std::string figure =
        std::string("dumpTrace, 16 KiB block, ") + (textOnly ? "text mode" : "hex mode");
    std::string block = TraceBlock(kTraceBlock);
    if (DumpedText(block, textOnly, false) != DumpedText(block, textOnly, true)) {
        report.Unavailable(figure, "the baseline writes a different record");
        return;
    }
    std::vector<char> memory(kTraceBlock * 8);
    FILE* stream = fmemopen(memory.data(), memory.size(), "w");
    if (!stream) {
        report.Unavailable(figure, "fmemopen failed");
        return;
    }
    auto* data = reinterpret_cast<unsigned char*>(&block[0]);
    auto library = BytesPerSecondOf(block.size(), kTraceCalls, [&] {
        rewind(stream);
        KYLibCurl::dumpTrace("<= Recv header", stream, data, block.size(), textOnly);
    });
    auto baseline = BytesPerSecondOf(block.size(), kTraceCalls, [&] {
        rewind(stream);
        PlainTraceDump("<= Recv header", stream, data, block.size(), textOnly != 0);
    });
    auto rates = RotateRounds(options.Rounds(21), {library, baseline});
    fclose(stream);
    report.Add({figure,
                BytesPerSecond(Median(rates[0])),
                "row-buffered dump " + BytesPerSecond(Median(rates[1])),
                MedianRatio(rates[0], rates[1]),
                {}});
}

// The same four results GetUrlKey gives, for the URLs of the figure (which carry a port).
void PlainSplit(const std::string& url, std::string& key, int& port, size_t& pathPos, std::string& prefix) {
    std::string_view text(url);
    size_t host = text.find("://") + 3;
    pathPos = text.find('/', host);
    if (pathPos == text.npos) pathPos = text.size();
    prefix.assign(text.substr(0, host));
    key.assign(text.substr(host, pathPos - host));
    port = static_cast<int>(strtol(key.c_str() + key.find(':') + 1, nullptr, 10));
}

void MeasureGetUrlKey(const SuiteOptions& options, Report& report) {
    const std::string url = "https://orders.service.example.com:8443/api/v2/orders/4711?expand=items";
    KYLibCurl session;
    std::string key;
    std::string prefix;
    int port = 0;
    size_t pathPos = 0;
    auto callsPerSecond = [](const std::function<void()>& call) -> Measurement {
        return [call] {
            int64_t start = WallNs();
            for (int i = 0; i < kKeyCalls; ++i) call();
            return kKeyCalls * 1e9 / static_cast<double>(WallNs() - start);
        };
    };
    auto rates = RotateRounds(options.Rounds(21),
                              {callsPerSecond([&] { session.GetUrlKey(url, key, port, pathPos, prefix); }),
                               callsPerSecond([&] { PlainSplit(url, key, port, pathPos, prefix); })});
    report.Add({"GetUrlKey, URL with port and path",
                PerSecond(Median(rates[0]), "call"),
                "plain split " + PerSecond(Median(rates[1]), "call"),
                MedianRatio(rates[0], rates[1]),
                {}});
}

}  // namespace

void RunEncoders(const SuiteOptions& options, Report& report) {
    report.Section("5. Encoder, trace and URL key (throughput; ratio = library / baseline)");
    fprintf(stderr, "kybench: encoder, trace, URL key\n");
    MeasureUrlEncode(options, report);
    MeasureDumpTrace(options, report, 1);
    MeasureDumpTrace(options, report, 0);
    MeasureGetUrlKey(options, report);
}

}  // namespace kybench
