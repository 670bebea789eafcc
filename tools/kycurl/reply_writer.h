// Streams a reply to its destination as it arrives: the session's body callback writes each chunk to
// standard output or the output file and moves the progress bar, so nothing of the body is kept in
// memory. The reply header lines (gathered by the session) go out before the first body byte with -i
// or -I, and to the -D file.
#ifndef KYCURL_REPLY_WRITER_H
#define KYCURL_REPLY_WRITER_H

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "progress.h"

class KYLibCurl;

namespace kycurl {

struct ReplyDestination {
    std::string path;             // empty: standard output
    bool includeHeaders = false;  // -i, -I
    FILE* headerDump = nullptr;   // -D, or null
    bool showProgress = false;
    bool append = false;               // -C: the output file grows from where it ends
    bool nameFromDisposition = false;  // -J: a Content-Disposition file name replaces the path's last part
    bool noClobber = false;            // an existing file stays: NAME.1 to NAME.100 are tried instead
};

class ReplyWriter {
  public:
    explicit ReplyWriter(KYLibCurl& session) : m_session(session), m_meter(false) {}
    ~ReplyWriter();
    ReplyWriter(const ReplyWriter&) = delete;
    ReplyWriter& operator=(const ReplyWriter&) = delete;

    // Makes this writer the data of the session's body callback (Write, given at initialisation).
    bool Install();
    // Before each attempt, once the session's lists were freed. A retry starts the output file again, as
    // curl does.
    void Start(const ReplyDestination& destination);
    // After the attempt: the header lines not yet written, and an empty output file for a transfer that
    // succeeded without a body. False when writing failed (then or during the transfer).
    bool Finish(bool transferSucceeded);

    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }

    static size_t Write(void* ptr, size_t size, size_t nmemb, void* userdata);

  private:
    bool OpenOutput();
    std::string OutputPath() const;
    std::string UnusedPath(const std::string& path) const;
    void CloseOutput();
    bool WriteHeaders();
    bool Fail(const std::string& error);

    KYLibCurl& m_session;
    ReplyDestination m_destination;
    ProgressMeter m_meter;
    FILE* m_out = nullptr;
    bool m_ownsOut = false;
    const curl_slist* m_lastHeaderWritten = nullptr;  // of this attempt's list; null before the first
    uint64_t m_received = 0;
    int64_t m_total = -1;
    std::string m_error;
};

}  // namespace kycurl

#endif
