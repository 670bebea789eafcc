#include "request_body.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kylibcurl.h"

namespace kycurl {

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

bool CanOpen(const std::string& path) {
    if (path == "-") return true;
    FILE* file = fopen(path.c_str(), "rb");
    if (file) fclose(file);
    return file != nullptr;
}

// A body read from a file is held once: the room for a regular file is reserved from its size (pages
// never written stay out of memory), so that the text does not grow by copies, and line ends are dropped
// a chunk at a time as they are read.
bool ReadStream(FILE* in, std::string& out, bool dropLineEnds) {
    struct stat info {};
    if (fstat(fileno(in), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        out.reserve(out.size() + static_cast<size_t>(info.st_size));
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) {
        if (dropLineEnds) n = static_cast<size_t>(std::remove_if(chunk, chunk + n, IsLineEnd) - chunk);
        out.append(chunk, n);
    }
    return !ferror(in);
}

bool ReadFileOrInput(const std::string& path, std::string& out, std::string& error, bool dropLineEnds) {
    if (path == "-") {
        if (ReadStream(stdin, out, dropLineEnds)) return true;
        error = std::string("cannot read standard input: ") + strerror(errno);
        return false;
    }
    FILE* file = fopen(path.c_str(), "rb");
    bool read = file && ReadStream(file, out, dropLineEnds);
    int savedErrno = errno;
    if (file) fclose(file);
    if (!read) error = "cannot read '" + path + "': " + strerror(savedErrno);
    return read;
}

// UrlEncode stops at a NUL byte: the text is encoded piece by piece around each.
std::string FormEncode(const std::string& text) {
    std::string encoded;
    std::vector<char> buffer;
    size_t start = 0;
    while (true) {
        size_t nul = text.find('\0', start);
        encoded += UrlEncode(text.substr(start, nul - start).c_str(), buffer);
        if (nul == std::string::npos) return encoded;
        encoded += "%00";
        start = nul + 1;
    }
}

// "[name]=content" or "[name]@file"; the first '=' decides, else the first '@'.
bool UrlEncodedItem(const std::string& value, std::string& out, std::string& error) {
    size_t separator = value.find('=');
    if (separator == std::string::npos) separator = value.find('@');
    std::string name = separator == std::string::npos ? std::string() : value.substr(0, separator);
    std::string content;
    if (separator != std::string::npos && value[separator] == '@') {
        if (!ReadInput(value.substr(separator + 1), content, error)) return false;
    } else {
        content = separator == std::string::npos ? value : value.substr(separator + 1);
    }
    out += name.empty() ? FormEncode(content) : name + "=" + FormEncode(content);
    return true;
}

bool AppendItem(const DataItem& item, std::string& out, std::string& error) {
    bool fromFile = !item.value.empty() && item.value[0] == '@';

    switch (item.flavour) {
        case DataFlavour::Raw:
            out += item.value;
            return true;
        case DataFlavour::UrlEncode:
            return UrlEncodedItem(item.value, out, error);
        case DataFlavour::Ascii: {
            if (!fromFile) break;
            return ReadFileOrInput(item.value.substr(1), out, error, true);
        }
        case DataFlavour::Binary:
        case DataFlavour::Json:
            if (fromFile) return ReadInput(item.value.substr(1), out, error);
            break;
    }
    out += item.value;
    return true;
}

// "@file" of -d, --data-binary or --json naming a file that cannot be opened.
bool IsUnopenableFile(const DataItem& item) {
    bool fromFile = !item.value.empty() && item.value[0] == '@' && item.flavour != DataFlavour::Raw &&
                    item.flavour != DataFlavour::UrlEncode;
    return fromFile && !CanOpen(item.value.substr(1));
}

}  // namespace

bool BuildData(const std::vector<DataItem>& items, std::string& body, std::string& error,
               std::vector<std::string>* warnings) {
    body.clear();
    bool json = false;
    for (size_t i = 0; i < items.size(); ++i) {
        json = json || items[i].flavour == DataFlavour::Json;
        if (i > 0 && !json) body += '&';
        if (warnings && IsUnopenableFile(items[i])) {
            warnings->push_back("Couldn't read data from file \"" + items[i].value.substr(1) +
                                "\", this makes an empty POST.");
            continue;
        }
        if (!AppendItem(items[i], body, error)) return false;
    }
    return true;
}

bool ReadInput(const std::string& path, std::string& out, std::string& error) {
    return ReadFileOrInput(path, out, error, false);
}

std::string AppendQuery(const std::string& url, const std::string& query) {
    size_t lastSlash = url.rfind('/');
    bool hasQuery = url.find('?', lastSlash == std::string::npos ? 0 : lastSlash) != std::string::npos;
    return url + (hasQuery ? "&" : "?") + query;
}

bool HasJson(const std::vector<DataItem>& items) {
    for (const DataItem& item : items) {
        if (item.flavour == DataFlavour::Json) return true;
    }
    return false;
}

}  // namespace kycurl
