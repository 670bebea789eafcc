#include "server_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "loopback_socket.h"

namespace kybench {
namespace {

bool ReadLine(int fd, std::string& line) {
    line.clear();
    char byte;
    while (read(fd, &byte, 1) == 1) {
        if (byte == '\n') return true;
        line += byte;
    }
    return false;
}

}  // namespace

ServerProcess::~ServerProcess() { Stop(); }

bool ServerProcess::Start(const std::string& binary, std::string& problem) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
        problem = std::string("pipe: ") + strerror(errno);
        return false;
    }
    m_pid = fork();
    if (m_pid == 0) {
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    m_control = input[1];
    std::string line;
    bool started = m_pid > 0 && ReadLine(output[0], line) && sscanf(line.c_str(), "port %d", &m_port) == 1;
    close(output[0]);
    if (!started) {
        problem = "cannot start " + binary;
        Stop();
        return false;
    }
    return true;
}

void ServerProcess::Stop() {
    if (m_control >= 0) close(m_control);
    m_control = -1;
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

std::string ServerProcess::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

bool FetchServerStats(int port, ServerStats& out) {
    int fd = ConnectLoopback(port);
    if (fd < 0) return false;
    const char request[] = "GET /stats HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    bool sent =
        send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request - 1);
    std::string reply;
    char chunk[4096];
    ssize_t n;
    while (sent && (n = recv(fd, chunk, sizeof chunk, 0)) > 0) {
        reply.append(chunk, static_cast<size_t>(n));
        if (reply.find("requests=") != std::string::npos && reply.back() == '\n') break;
    }
    close(fd);
    size_t body = reply.find("cpu_us=");
    long cpuUs = 0;
    double requests = 0;
    if (body == std::string::npos ||
        sscanf(reply.c_str() + body, "cpu_us=%ld requests=%lf", &cpuUs, &requests) != 2)
        return false;
    out.cpuNs = static_cast<double>(cpuUs) * 1000;
    out.requests = requests;
    return true;
}

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string text(path, static_cast<size_t>(length));
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

}  // namespace kybench
