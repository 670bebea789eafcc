// The sockets libcurl opens for the library's handles: made close-on-exec when they are made, so that a
// program the caller starts with exec holds none of the library's connections, nor those kept in the pool
// after their sessions are gone (libcurl itself opens its sockets without the flag).
#ifndef KYLIBCURL_PLATFORM_CLOSE_ON_EXEC_SOCKET_H
#define KYLIBCURL_PLATFORM_CLOSE_ON_EXEC_SOCKET_H

#include <curl/curl.h>

namespace kylibcurl::detail {

// libcurl's open-socket callback. It reads nothing of its data, so a caller who sets only
// CURLOPT_OPENSOCKETDATA changes nothing, and a caller's own callback simply takes its place.
curl_socket_t OpenCloseOnExecSocket(void* unused, curlsocktype purpose, curl_sockaddr* address);

}  // namespace kylibcurl::detail

#endif
