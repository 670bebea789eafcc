// kybench_server: prints "port <n>" on standard output, then serves on 127.0.0.1:<n> until its standard
// input ends, so that it never outlives the driver that started it.
//
//   GET|POST /small     200, about 100 bytes of JSON and a handful of typical header lines
//   GET /bulk/<bytes>   200, a generated body of that many bytes
//   GET /stats          200, "cpu_us=<server CPU time> requests=<requests answered>"
#include <unistd.h>

#include <cstdio>

#include "epoll_server.h"

int main() {
    kybench::EpollServer server;
    int port = server.Listen();
    if (port == 0) {
        perror("kybench_server: cannot listen on 127.0.0.1");
        return 1;
    }
    printf("port %d\n", port);
    fflush(stdout);
    server.Run(STDIN_FILENO);
    return 0;
}
