// --etag-compare and --etag-save, as curl carries them out for each URL: the compare file's text becomes
// an If-None-Match line (`""` when the file is empty, or missing while --etag-save is given too), and the
// save file, emptied before the transfer, receives the value of each ETag line of the reply.
#ifndef KYCURL_ETAG_FILES_H
#define KYCURL_ETAG_FILES_H

#include <cstdio>
#include <memory>
#include <string>

#include "options.h"

class KYLibCurl;

namespace kycurl {

class EtagFiles {
  public:
    enum class Start { Send, Skip, Fail };

    // Before a URL's transfer. Send: line holds the If-None-Match line, or is empty. Skip: the save file
    // cannot be made, which curl warns about and sends nothing for. Fail: the compare file cannot be read
    // (message in error).
    Start Begin(const Options& options, std::string& line, std::string& error);
    // After the transfer: the ETag values of the reply lines into the save file.
    void Save(const KYLibCurl& session);

  private:
    struct Closer {
        void operator()(FILE* file) const {
            if (file && file != stdout) fclose(file);
        }
    };
    std::unique_ptr<FILE, Closer> m_save;
};

}  // namespace kycurl

#endif
