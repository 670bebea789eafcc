// A request body handed to libcurl through the session's read callback, piece by piece: texts held in
// memory and files read as the upload goes, so an uploaded file is never copied into memory.
#ifndef KYCURL_BODY_SOURCE_H
#define KYCURL_BODY_SOURCE_H

#include <curl/curl.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

class KYLibCurl;

namespace kycurl {

class BodySource {
  public:
    // Takes the text over: pass it with std::move when the caller needs it no more.
    void AddText(std::string text);
    // Opens the file now; "-" is standard input, whose size is unknown. False with a message in error.
    bool AddFile(const std::string& path, std::string& error);

    bool sizeKnown() const { return m_sizeKnown; }
    uint64_t size() const { return m_size; }
    bool empty() const { return m_segments.empty(); }
    // The body when it is one text: it can then go to the library as a buffer.
    const std::string* onlyText() const;

    // Back to the first byte, for a retry; false when a segment cannot go back (standard input read).
    bool Rewind();
    // Installs Read (and Seek, for the rewinds of redirects and authentication) on the session.
    bool Install(KYLibCurl& session);

    bool failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }

    static size_t Read(void* buffer, size_t size, size_t nitems, void* userdata);
    static int Seek(void* userdata, curl_off_t offset, int origin);

  private:
    struct FileCloser {
        void operator()(FILE* file) const;
    };
    struct Segment {
        std::string text;
        std::unique_ptr<FILE, FileCloser> file;
        std::string path;
        bool isStdin = false;
    };

    size_t ReadSegment(Segment& segment, char* buffer, size_t room);

    std::vector<Segment> m_segments;
    size_t m_current = 0;
    size_t m_offset = 0;  // within the current text segment
    uint64_t m_size = 0;
    bool m_sizeKnown = true;
    bool m_consumedStdin = false;
    std::string m_error;
};

}  // namespace kycurl

#endif
