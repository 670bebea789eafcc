#include "body_source.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "kylibcurl.h"

namespace kycurl {

void BodySource::FileCloser::operator()(FILE* file) const {
    if (file && file != stdin) fclose(file);
}

void BodySource::AddText(std::string text) {
    Segment segment;
    m_size += text.size();
    segment.text = std::move(text);
    m_segments.push_back(std::move(segment));
}

bool BodySource::AddFile(const std::string& path, std::string& error) {
    Segment segment;
    segment.path = path;
    if (path == "-") {
        segment.isStdin = true;
        segment.file.reset(stdin);
        m_sizeKnown = false;
        m_segments.push_back(std::move(segment));
        return true;
    }
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        error = "cannot open '" + path + "': " + strerror(errno);
        return false;
    }
    segment.file.reset(file);
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
        error = "cannot open '" + path + "': " + strerror(S_ISDIR(info.st_mode) ? EISDIR : errno);
        return false;
    }
    if (S_ISREG(info.st_mode)) {
        m_size += static_cast<uint64_t>(info.st_size);
    } else {
        m_sizeKnown = false;
    }
    m_segments.push_back(std::move(segment));
    return true;
}

const std::string* BodySource::onlyText() const {
    if (m_segments.size() != 1 || m_segments[0].file) return nullptr;
    return &m_segments[0].text;
}

bool BodySource::Rewind() {
    m_current = 0;
    m_offset = 0;
    m_error.clear();
    for (Segment& segment : m_segments) {
        if (segment.isStdin) {
            if (m_consumedStdin) return false;
            continue;
        }
        if (segment.file && fseek(segment.file.get(), 0, SEEK_SET) != 0) return false;
    }
    return true;
}

bool BodySource::Install(KYLibCurl& session) {
    auto seek = &BodySource::Seek;
    return session.KYLibCurlSetCallbackReadFunction(&BodySource::Read) &&
           session.KYLibCurlSetReadData(this) &&
           curl_easy_setopt(session.m_curlHandle, CURLOPT_SEEKFUNCTION, seek) == CURLE_OK &&
           curl_easy_setopt(session.m_curlHandle, CURLOPT_SEEKDATA, this) == CURLE_OK;
}

size_t BodySource::ReadSegment(Segment& segment, char* buffer, size_t room) {
    if (!segment.file) {
        size_t n = std::min(room, segment.text.size() - m_offset);
        segment.text.copy(buffer, n, m_offset);
        m_offset += n;
        return n;
    }
    m_consumedStdin = m_consumedStdin || segment.isStdin;
    size_t n = fread(buffer, 1, room, segment.file.get());
    if (n == 0 && ferror(segment.file.get()))
        m_error = "cannot read '" + segment.path + "': " + strerror(errno);
    return n;
}

size_t BodySource::Read(void* buffer, size_t size, size_t nitems, void* userdata) {
    BodySource* self = static_cast<BodySource*>(userdata);
    size_t room = size * nitems;
    while (self->m_current < self->m_segments.size()) {
        size_t n = self->ReadSegment(self->m_segments[self->m_current], static_cast<char*>(buffer), room);
        if (self->failed()) return CURL_READFUNC_ABORT;
        if (n > 0) return n;
        ++self->m_current;
        self->m_offset = 0;
    }
    return 0;
}

int BodySource::Seek(void* userdata, curl_off_t offset, int origin) {
    BodySource* self = static_cast<BodySource*>(userdata);
    if (offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    return self->Rewind() ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_CANTSEEK;
}

}  // namespace kycurl
