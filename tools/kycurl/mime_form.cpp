#include "mime_form.h"

#include <cstdio>

#include "char_class.h"
#include "request_body.h"

namespace kycurl {

namespace {

struct SlistFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using Slist = std::unique_ptr<curl_slist, SlistFree>;

// A part's value and attributes as curl reads them.
struct PartWords {
    std::string value;
    bool hasType = false;
    std::string type;
    bool hasFilename = false;
    std::string filename;
    std::string encoder;
    std::vector<std::string> headers;
};

// One word up to ';' (or endChar): a quoted word loses its quotes and its "\\" and "\"" escapes; an
// unquoted one its trailing spaces.
std::string Word(const std::string& text, size_t& at, char endChar) {
    if (at < text.size() && text[at] == '"') {
        std::string word;
        for (size_t i = at + 1; i < text.size(); ++i) {
            if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
                word += text[++i];
                continue;
            }
            if (text[i] != '"') {
                word += text[i];
                continue;
            }
            at = i + 1;
            while (at < text.size() && text[at] != ';' && text[at] != endChar) ++at;
            return word;
        }
    }
    size_t start = at;
    while (at < text.size() && text[at] != ';' && text[at] != endChar) ++at;
    size_t end = at;
    while (end > start && IsSpace(text[end - 1])) --end;
    return text.substr(start, end - start);
}

void SkipSpaces(const std::string& text, size_t& at) {
    while (at < text.size() && IsSpace(text[at])) ++at;
}

bool StartsWith(const std::string& text, size_t at, const char* prefix) {
    return text.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

// "type=major/minor" and the parameters after it, up to the next attribute curl knows.
bool TypeAttribute(const std::string& text, size_t& at, PartWords& words) {
    at += 5;
    SkipSpaces(text, at);
    size_t slash = text.find('/', at);
    if (slash == std::string::npos || slash == at || text.find(' ', at) < slash) return false;
    size_t end = at;
    auto known = [&](size_t i) {
        return StartsWith(text, i, "filename=") || StartsWith(text, i, "headers=") ||
               StartsWith(text, i, "encoder=");
    };
    while (end < text.size()) {
        size_t semicolon = text.find(';', end);
        if (semicolon == std::string::npos) {
            end = text.size();
            break;
        }
        size_t next = semicolon + 1;
        SkipSpaces(text, next);
        if (known(next)) {
            end = semicolon;
            break;
        }
        end = semicolon + 1;
    }
    size_t last = end;
    while (last > at && IsSpace(text[last - 1])) --last;
    words.type = text.substr(at, last - at);
    words.hasType = true;
    at = end;
    return true;
}

bool ParsePart(const std::string& text, char endChar, PartWords& words, std::string& error) {
    size_t at = 0;
    SkipSpaces(text, at);
    words.value = Word(text, at, endChar);
    while (at < text.size() && text[at] == ';') {
        ++at;
        SkipSpaces(text, at);
        if (!words.hasType && StartsWith(text, at, "type=")) {
            if (TypeAttribute(text, at, words)) continue;
            error = "Illegally formatted content-type field!";
            return false;
        }
        if (StartsWith(text, at, "filename=")) {
            at += 9;
            SkipSpaces(text, at);
            words.filename = Word(text, at, endChar);
            words.hasFilename = true;
        } else if (StartsWith(text, at, "headers=")) {
            at += 8;
            SkipSpaces(text, at);
            words.headers.push_back(Word(text, at, endChar));
        } else if (StartsWith(text, at, "encoder=")) {
            at += 8;
            SkipSpaces(text, at);
            words.encoder = Word(text, at, endChar);
        } else {
            Word(text, at, endChar);
        }
    }
    return true;
}

bool Check(CURLcode code, const std::string& what, std::string& error) {
    if (code == CURLE_OK) return true;
    error = what + ": " + curl_easy_strerror(code);
    return false;
}

// Where the part's bytes come from: a file read as the upload goes, standard input read now, or the value.
bool SetContent(curl_mimepart* part, char kind, const PartWords& words, std::string& error) {
    const std::string& source = words.value;
    bool file = kind != '=';
    if (!file) return Check(curl_mime_data(part, source.data(), source.size()), "form part", error);
    if (source == "-") {
        std::string input;
        if (!ReadInput("-", input, error)) return false;
        if (!Check(curl_mime_data(part, input.data(), input.size()), "form part", error)) return false;
        if (kind == '@' && !words.hasFilename)
            return Check(curl_mime_filename(part, "-"), "form part", error);
        return true;
    }
    if (FILE* probe = fopen(source.c_str(), "rb")) {
        fclose(probe);
    } else {
        error = "cannot read '" + source + "' for the form";
        return false;
    }
    if (!Check(curl_mime_filedata(part, source.c_str()), "form file '" + source + "'", error)) return false;
    // "<file" sends the content as a value: no file name goes with it.
    if (kind == '<' && !words.hasFilename)
        return Check(curl_mime_filename(part, nullptr), "form part", error);
    return true;
}

bool AddPart(curl_mime* mime, const FormPart& given, std::string& error) {
    size_t equals = given.text.find('=');
    std::string name = given.text.substr(0, equals);
    std::string rest = given.text.substr(equals + 1);
    char kind = '=';
    if (!given.literal && !rest.empty() && (rest[0] == '@' || rest[0] == '<')) {
        kind = rest[0];
        rest.erase(0, 1);
    }
    PartWords words;
    if (given.literal) {
        words.value = rest;
    } else if (!ParsePart(rest, kind == '@' ? ',' : '\0', words, error)) {
        return false;
    }
    curl_mimepart* added = curl_mime_addpart(mime);
    if (!added) return Check(CURLE_OUT_OF_MEMORY, "form part", error);
    if (!SetContent(added, kind, words, error)) return false;
    Slist headers;
    for (const std::string& line : words.headers) {
        curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
        if (!grown) return Check(CURLE_OUT_OF_MEMORY, "form part", error);
        // The list grows in place: only its first line makes a new head.
        if (!headers) headers.reset(grown);
    }
    return (!words.hasFilename ||
            Check(curl_mime_filename(added, words.filename.c_str()), "form part", error)) &&
           (!words.hasType || Check(curl_mime_type(added, words.type.c_str()), "form part", error)) &&
           (words.encoder.empty() ||
            Check(curl_mime_encoder(added, words.encoder.c_str()), "form part", error)) &&
           (!headers || Check(curl_mime_headers(added, headers.release(), 1), "form part", error)) &&
           Check(curl_mime_name(added, name.c_str()), "form part", error);
}

}  // namespace

Mime BuildMimeForm(CURL* handle, const std::vector<FormPart>& parts, std::string& error) {
    Mime mime(curl_mime_init(handle));
    if (!mime) {
        error = "no memory for the form";
        return nullptr;
    }
    for (const FormPart& part : parts) {
        if (!AddPart(mime.get(), part, error)) return nullptr;
    }
    return mime;
}

}  // namespace kycurl
