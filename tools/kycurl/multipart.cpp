#include "multipart.h"

#include <strings.h>

#include <cstdio>
#include <filesystem>
#include <random>

namespace kycurl {

namespace {

struct FilePart {
    std::string path;
    std::string type;
    std::string filename;
};

// 24 dashes and 16 random hexadecimal digits, as curl makes its boundaries.
std::string MakeBoundary() {
    std::random_device random;
    char digits[17];
    snprintf(digits, sizeof digits, "%08x%08x", random(), random());
    return std::string(24, '-') + digits;
}

// A quote, CR and LF inside a name would end the quoted string: they are percent-escaped, as curl does.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') {
            out += "%22";
        } else if (c == '\r') {
            out += "%0D";
        } else if (c == '\n') {
            out += "%0A";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// The same guesses from the file name as libcurl's form code; anything else is binary.
std::string TypeForName(const std::string& name) {
    static const struct {
        const char* extension;
        const char* type;
    } kTypes[] = {
        {".gif", "image/gif"},       {".jpg", "image/jpeg"},    {".jpeg", "image/jpeg"},
        {".png", "image/png"},       {".svg", "image/svg+xml"}, {".txt", "text/plain"},
        {".htm", "text/html"},       {".html", "text/html"},    {".pdf", "application/pdf"},
        {".xml", "application/xml"},
    };
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) {
        for (const auto& entry : kTypes) {
            if (strcasecmp(name.c_str() + dot, entry.extension) == 0) return entry.type;
        }
    }
    return "application/octet-stream";
}

// "file;type=T;filename=F": the attributes after the path, in any order.
FilePart ParseFilePart(const std::string& argument) {
    FilePart part;
    size_t semicolon = argument.find(';');
    part.path = argument.substr(0, semicolon);
    while (semicolon != std::string::npos) {
        size_t next = argument.find(';', semicolon + 1);
        std::string attribute =
            argument.substr(semicolon + 1, next == std::string::npos ? next : next - semicolon - 1);
        if (attribute.compare(0, 5, "type=") == 0) part.type = attribute.substr(5);
        if (attribute.compare(0, 9, "filename=") == 0) part.filename = attribute.substr(9);
        semicolon = next;
    }
    if (part.filename.empty()) part.filename = std::filesystem::path(part.path).filename();
    if (part.type.empty()) part.type = TypeForName(part.filename);
    return part;
}

bool AddPart(const FormPart& part, const std::string& boundary, BodySource& source, std::string& error) {
    const std::string& argument = part.text;
    size_t equals = argument.find('=');
    std::string name = argument.substr(0, equals);
    std::string value = argument.substr(equals + 1);
    std::string head = "--" + boundary + "\r\nContent-Disposition: form-data; name=" + Quoted(name);
    // --form-string takes '@' and '<' as they stand.
    const char kind = part.literal || value.empty() ? '=' : value[0];
    if (kind == '@') {
        FilePart file = ParseFilePart(value.substr(1));
        source.AddText(head + "; filename=" + Quoted(file.filename) + "\r\nContent-Type: " + file.type +
                       "\r\n\r\n");
        if (!source.AddFile(file.path, error)) return false;
    } else if (kind == '<') {
        source.AddText(head + "\r\n\r\n");
        if (!source.AddFile(value.substr(1), error)) return false;
    } else {
        source.AddText(head + "\r\n\r\n" + value);
    }
    source.AddText("\r\n");
    return true;
}

}  // namespace

bool BuildMultipart(const std::vector<FormPart>& parts, BodySource& source, std::string& contentTypeLine,
                    std::string& error) {
    std::string boundary = MakeBoundary();
    for (const FormPart& part : parts) {
        if (!AddPart(part, boundary, source, error)) return false;
    }
    source.AddText("--" + boundary + "--\r\n");
    contentTypeLine = "Content-Type: multipart/form-data; boundary=" + boundary;
    return true;
}

}  // namespace kycurl
