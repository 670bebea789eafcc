#include "etag_files.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

#include "kylibcurl.h"
#include "messages.h"
#include "request_body.h"

namespace kycurl {

namespace {

// curl reads the compare file line by line and joins the lines without their line ends.
std::string WithoutLineEnds(const std::string& text) {
    std::string joined;
    for (char c : text) {
        if (c != '\r' && c != '\n') joined += c;
    }
    return joined;
}

bool Exists(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file) fclose(file);
    return file != nullptr;
}

}  // namespace

EtagFiles::Start EtagFiles::Begin(const Options& o, std::string& line, std::string& error) {
    line.clear();
    m_save.reset();
    if (!o.etagCompare.empty()) {
        std::string etag;
        if (Exists(o.etagCompare) || o.etagSave.empty()) {
            if (!ReadInput(o.etagCompare, etag, error)) return Start::Fail;
        }
        etag = WithoutLineEnds(etag);
        line = "If-None-Match: " + (etag.empty() ? std::string("\"\"") : etag);
    }
    if (o.etagSave.empty()) return Start::Send;
    if (o.etagSave == "-") {
        m_save.reset(stdout);
        return Start::Send;
    }
    m_save.reset(fopen(o.etagSave.c_str(), "wb"));
    if (m_save) return Start::Send;
    if (o.showsWarnings())
        PrintWarning("Failed creating file for saving etags: \"" + o.etagSave + "\". Skip this transfer");
    return Start::Skip;
}

void EtagFiles::Save(const KYLibCurl& session) {
    if (!m_save) return;
    for (const curl_slist* header = session.m_respHeaders; header; header = header->next) {
        const char* text = header->data;
        if (strncasecmp(text, "etag:", 5) != 0) continue;
        std::string value = text + 5;
        value.erase(0, value.find_first_not_of(" \t"));
        while (!value.empty() && isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
        if (value.empty()) continue;
        fprintf(m_save.get(), "%s\n", value.c_str());
    }
    fflush(m_save.get());
}

}  // namespace kycurl
