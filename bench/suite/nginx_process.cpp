#include "nginx_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "loopback_socket.h"

namespace kybench {
namespace {

// The same 100 bytes of JSON the bench server sends for /small.
constexpr char kSmallReply[] =
    "{\"status\":\"ok\",\"id\":4711,\"name\":\"kybench\",\"items\":[1,2,3,4,5],"
    "\"note\":\"fixed reply, 100 bytes long!\"}";
static_assert(sizeof(kSmallReply) - 1 == 100, "the small reply body is 100 bytes");

// A port of 127.0.0.1 that was free a moment ago.
int FreePort() {
    int port = 0;
    int fd = ListenLoopback(1, port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}

}  // namespace

NginxProcess::~NginxProcess() { Stop(); }

bool NginxProcess::Start(std::string& problem) {
    if (system("command -v nginx > /dev/null 2>&1 && command -v openssl > /dev/null 2>&1") != 0) {
        problem = "nginx is not installed";
        return false;
    }
    char dir[] = "/tmp/kybench-nginx-XXXXXX";
    if (!mkdtemp(dir)) {
        problem = "no temporary directory";
        return false;
    }
    m_dir = dir;
    m_certificate = m_dir + "/cert.pem";
    const std::string makeCertificate =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
        "-addext subjectAltName=IP:127.0.0.1 -keyout " +
        m_dir + "/key.pem -out " + m_certificate + " > /dev/null 2>&1";
    if (system(makeCertificate.c_str()) != 0) {
        problem = "openssl cannot make a certificate";
        return false;
    }
    m_httpPort = FreePort();
    m_httpsPort = FreePort();
    if (m_httpPort == 0 || m_httpsPort == 0 || m_httpPort == m_httpsPort || !WriteConfig()) {
        problem = "cannot configure nginx";
        return false;
    }
    m_pid = fork();
    if (m_pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        const std::string config = m_dir + "/nginx.conf";
        execlp("nginx", "nginx", "-p", m_dir.c_str(), "-c", config.c_str(), "-e",
               (m_dir + "/error.log").c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (m_pid < 0 || !WaitUntilListening()) {
        problem = "nginx did not start, see " + m_dir + "/error.log";
        Stop();
        return false;
    }
    return true;
}

// One process, one worker: nginx's work stays on one core, as the bench server's does.
bool NginxProcess::WriteConfig() {
    std::ofstream config(m_dir + "/nginx.conf");
    config << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
           << "pid " << m_dir << "/nginx.pid;\nerror_log " << m_dir << "/error.log warn;\n"
           << "events { worker_connections 1024; }\n"
           << "http {\n  access_log off;\n  keepalive_requests 1000000;\n  keepalive_timeout 300s;\n"
           << "  ssl_session_cache shared:SSL:4m;\n  ssl_session_timeout 10m;\n"
           << "  client_body_temp_path " << m_dir << "/body;\n  proxy_temp_path " << m_dir << "/proxy;\n"
           << "  fastcgi_temp_path " << m_dir << "/fastcgi;\n  uwsgi_temp_path " << m_dir << "/uwsgi;\n"
           << "  scgi_temp_path " << m_dir << "/scgi;\n"
           << "  server {\n    listen 127.0.0.1:" << m_httpPort << ";\n    listen 127.0.0.1:" << m_httpsPort
           << " ssl;\n    ssl_certificate " << m_certificate << ";\n    ssl_certificate_key " << m_dir
           << "/key.pem;\n    location /small { default_type application/json; return 200 '" << kSmallReply
           << "'; }\n  }\n}\n";
    return static_cast<bool>(config.flush());
}

bool NginxProcess::WaitUntilListening() const {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int http = ConnectLoopback(m_httpPort);
        int https = ConnectLoopback(m_httpsPort);
        if (http >= 0) close(http);
        if (https >= 0) close(https);
        if (http >= 0 && https >= 0) return true;
        if (waitpid(m_pid, nullptr, WNOHANG) == m_pid) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

void NginxProcess::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        waitpid(m_pid, nullptr, 0);
    }
    m_pid = -1;
    if (!m_dir.empty()) system(("rm -rf " + m_dir).c_str());
    m_dir.clear();
}

std::string NginxProcess::Url(bool https, const std::string& path) const {
    return std::string(https ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(https ? m_httpsPort : m_httpPort) + path;
}

}  // namespace kybench
