// Selecting the request method on the transfer handle.
#ifndef KYLIBCURL_REQUEST_METHOD_OPTION_H
#define KYLIBCURL_REQUEST_METHOD_OPTION_H

#include "request/method_table.h"

namespace kylibcurl::detail {

// Undoes what an earlier request's method left on the handle, then installs this method's option.
// Call after the body options: setting a body makes libcurl switch to POST, which the method option
// then overrides. On failure the line is written and false returned.
bool InstallMethodOption(void* handle, const RequestMethod& method);

// Holds a text method's text on the handle for one request and clears it when the request ends,
// whichever way it ends, so the next request never goes out under this one's method.
class MethodTextGuard {
  public:
    MethodTextGuard(void* handle, const RequestMethod& method);
    ~MethodTextGuard();
    MethodTextGuard(const MethodTextGuard&) = delete;
    MethodTextGuard& operator=(const MethodTextGuard&) = delete;

  private:
    void* m_handle;
    bool m_active;
};

}  // namespace kylibcurl::detail

#endif
