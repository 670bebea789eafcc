#include "output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kylibcurl.h"

namespace kycurl {

namespace {

bool WriteAll(FILE* out, const char* data, size_t size) {
    return size == 0 || fwrite(data, 1, size, out) == size;
}

bool WriteTo(FILE* out, const Reply& reply, bool includeHeaders) {
    if (includeHeaders) {
        for (const std::string& line : reply.headerLines) {
            if (!WriteAll(out, line.data(), line.size())) return false;
        }
    }
    return WriteAll(out, reply.body, reply.bodySize);
}

}  // namespace

void PrintError(const std::string& message) { fprintf(stderr, "kycurl: %s\n", message.c_str()); }

void PrintUsageError(const std::string& message) {
    PrintError(message);
    fprintf(stderr, "Try 'kycurl --help' for more information.\n");
}

std::string DescribeStatus(long status) {
    if (status == HTTP_RESP_CONNECT_FAILED) return "status 601 connection failed";
    if (status == HTTP_RESP_TIMED_OUT) return "status 602 timed out";
    if (status == 0) return "no reply";
    return "HTTP status " + std::to_string(status);
}

bool WriteReply(const Reply& reply, bool includeHeaders, const std::string& path, std::string& error) {
    if (path.empty()) {
        bool written = WriteTo(stdout, reply, includeHeaders) && fflush(stdout) == 0;
        if (!written) error = std::string("cannot write to standard output: ") + strerror(errno);
        return written;
    }
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) {
        error = "cannot open '" + path + "' for writing: " + strerror(errno);
        return false;
    }
    bool written = WriteTo(file, reply, includeHeaders);
    int savedErrno = errno;
    bool closed = fclose(file) == 0;
    if (!written || !closed) {
        error = "cannot write '" + path + "': " + strerror(written ? errno : savedErrno);
        return false;
    }
    return true;
}

}  // namespace kycurl
