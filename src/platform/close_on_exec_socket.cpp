#include "platform/close_on_exec_socket.h"

#include <sys/socket.h>

namespace kylibcurl::detail {

// The flag is given to socket() itself: set afterwards, a fork and exec on another thread in between would
// still carry the socket over.
curl_socket_t OpenCloseOnExecSocket(void* /*unused*/, curlsocktype /*purpose*/, curl_sockaddr* address) {
    return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace kylibcurl::detail
