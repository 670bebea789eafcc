// nginx as the server of the shared-connection figures: plain HTTP and HTTPS on ports of 127.0.0.1, a
// 100-byte reply for /small, keep-alive and its TLS session cache on, one worker in a process of its own.
#ifndef KYBENCH_SUITE_NGINX_PROCESS_H
#define KYBENCH_SUITE_NGINX_PROCESS_H

#include <sys/types.h>

#include <string>

namespace kybench {

class NginxProcess {
  public:
    NginxProcess() = default;
    ~NginxProcess();
    NginxProcess(const NginxProcess&) = delete;
    NginxProcess& operator=(const NginxProcess&) = delete;

    // Makes a certificate for 127.0.0.1 and starts nginx; false with the reason in problem.
    bool Start(std::string& problem);
    void Stop();
    std::string Url(bool https, const std::string& path) const;
    // The self-signed certificate the HTTPS port presents, which verifying clients trust.
    const std::string& caFile() const { return m_certificate; }

  private:
    bool WriteConfig();
    bool WaitUntilListening() const;

    pid_t m_pid = -1;
    std::string m_dir;
    std::string m_certificate;
    int m_httpPort = 0;
    int m_httpsPort = 0;
};

}  // namespace kybench

#endif
