#include "reply_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>

#include "kylibcurl.h"

namespace kycurl {

namespace {

bool WriteAll(FILE* out, const char* data, size_t size) {
    return size == 0 || fwrite(data, 1, size, out) == size;
}

// The file name of a "Content-Disposition: ...; filename=NAME" line (quoted or not), without any
// directory part, as curl -J takes it; empty when the line names none.
std::string DispositionFileName(const std::string& line) {
    size_t at = line.find("filename=");
    if (at == std::string::npos) return "";
    std::string name = line.substr(at + 9);
    if (!name.empty() && name[0] == '"') {
        name = name.substr(1, name.find('"', 1) - 1);
    } else {
        name = name.substr(0, name.find_first_of("; \t\r\n"));
    }
    size_t slash = name.find_last_of("/\\");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

ReplyWriter::~ReplyWriter() { CloseOutput(); }

bool ReplyWriter::Install() { return m_session.KYLibCurlSetWriteData(this); }

// Each URL starts afresh: the output of the one before, standard output included, and its failure stay
// its own.
void ReplyWriter::Start(const ReplyDestination& destination) {
    m_error.clear();
    bool sameFile = m_ownsOut && destination.path == m_destination.path;
    if (!sameFile) CloseOutput();
    if (sameFile &&
        (fflush(m_out) != 0 || ftruncate(fileno(m_out), 0) != 0 || fseek(m_out, 0, SEEK_SET) != 0)) {
        m_error = "cannot start '" + destination.path + "' again: " + strerror(errno);
    }
    m_destination = destination;
    m_meter = ProgressMeter(destination.showProgress);
    m_lastHeaderWritten = nullptr;
    m_received = 0;
    m_total = -1;
}

bool ReplyWriter::Finish(bool transferSucceeded) {
    m_meter.Finish();
    if (failed()) return false;
    if (!WriteHeaders()) return false;
    if (transferSucceeded && !OpenOutput()) return false;
    if (m_out && fflush(m_out) != 0)
        return Fail("cannot write " +
                    std::string(m_ownsOut ? "'" + m_destination.path + "'" : "to standard output") + ": " +
                    strerror(errno));
    if (m_destination.headerDump) fflush(m_destination.headerDump);
    return true;
}

void ReplyWriter::CloseOutput() {
    if (m_ownsOut) fclose(m_out);
    m_out = nullptr;
    m_ownsOut = false;
}

// Opens the destination on the first write; later calls find it open.
bool ReplyWriter::OpenOutput() {
    if (m_out) return true;
    if (m_destination.path.empty()) {
        m_out = stdout;
        return true;
    }
    m_destination.path = UnusedPath(OutputPath());
    m_out = fopen(m_destination.path.c_str(), m_destination.append ? "ab" : "wb");
    if (!m_out) return Fail("cannot open '" + m_destination.path + "' for writing: " + strerror(errno));
    m_ownsOut = true;
    return true;
}

// curl's --no-clobber: the first of NAME, NAME.1 ... NAME.100 that does not exist; empty when all do.
std::string ReplyWriter::UnusedPath(const std::string& path) const {
    constexpr int kTries = 100;
    if (!m_destination.noClobber || m_destination.append) return path;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return path;
    for (int n = 1; n <= kTries; ++n) {
        std::string numbered = path + "." + std::to_string(n);
        if (stat(numbered.c_str(), &info) != 0) return numbered;
    }
    return "";
}

// -J: the last Content-Disposition line naming a file wins; the name goes where -O's would.
std::string ReplyWriter::OutputPath() const {
    if (!m_destination.nameFromDisposition) return m_destination.path;
    std::list<std::string> lines;
    std::string name;
    if (m_session.GetHttpResponseHeaders("Content-Disposition:", lines)) {
        for (const std::string& line : lines) {
            std::string given = DispositionFileName(line);
            if (!given.empty()) name = given;
        }
    }
    if (name.empty()) return m_destination.path;
    size_t slash = m_destination.path.rfind('/');
    return slash == std::string::npos ? name : m_destination.path.substr(0, slash + 1) + name;
}

// The session's list holds every header line of this attempt, redirects and interim replies included. It
// only grows during the attempt, so the lines not yet written follow the last one written: each body
// piece looks at those alone.
bool ReplyWriter::WriteHeaders() {
    const curl_slist* line = m_lastHeaderWritten ? m_lastHeaderWritten->next : m_session.m_respHeaders;
    for (; line; line = line->next) {
        size_t length = strlen(line->data);
        if (m_destination.headerDump && !WriteAll(m_destination.headerDump, line->data, length)) {
            return Fail(std::string("cannot write the header lines: ") + strerror(errno));
        }
        if (m_destination.includeHeaders) {
            if (!OpenOutput()) return false;
            if (!WriteAll(m_out, line->data, length))
                return Fail(std::string("cannot write the reply: ") + strerror(errno));
        }
        m_lastHeaderWritten = line;
    }
    return true;
}

bool ReplyWriter::Fail(const std::string& error) {
    if (m_error.empty()) m_error = error;
    return false;
}

// A short count tells libcurl to stop the transfer: nothing more is wanted once writing failed.
size_t ReplyWriter::Write(void* ptr, size_t size, size_t nmemb, void* userdata) {
    ReplyWriter* self = static_cast<ReplyWriter*>(userdata);
    size_t bytes = size * nmemb;
    if (self->failed() || !self->WriteHeaders()) return 0;
    if (!self->OpenOutput()) return 0;
    if (!WriteAll(self->m_out, static_cast<const char*>(ptr), bytes)) {
        self->Fail(std::string("cannot write the reply: ") + strerror(errno));
        return 0;
    }
    if (self->m_received == 0) {
        curl_off_t length = -1;
        curl_easy_getinfo(self->m_session.m_curlHandle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        self->m_total = length;
    }
    self->m_received += bytes;
    self->m_meter.Update(self->m_received, self->m_total);
    return bytes;
}

}  // namespace kycurl
