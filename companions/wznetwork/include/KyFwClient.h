// Firewall client: reachability of destination clients and TPPM tunnel set-up.
//
// This stand-in reads its client table from the file named by KYFW_CLIENTS on first use: one entry a line,
//   <host-name> <route> [<target-address>]
// with '#' starting a comment, routes direct | tunnel | undecided | refuse, the target defaulting to
// 127.0.0.1 and the host name '-' standing for the empty host name. Tunnels are real TCP relays on
// 127.0.0.1 served by one background thread.
#ifndef WZNETWORK_KYFWCLIENT_H
#define WZNETWORK_KYFWCLIENT_H

#include <cstdint>
#include <string>

#define WZNETWORK_API __attribute__((visibility("default")))

// Error record the firewall client fills; set when the message is not empty.
class KyFwError {
public:
    int32_t m_code = 0;
    std::string m_message;

    bool isSet() const { return !m_message.empty(); }
};

class WZNETWORK_API KyFwClient {
public:
    // true: reach the client through a tunnel; false with err set: undecided; false otherwise: direct.
    static bool isFirewalled(const char* hostName, const char* domain, KyFwError* err);
    // Opens a tunnel for the (mangled) client name to its target at port; returns the tunnel's local
    // port on 127.0.0.1, or 0 with the reason in err.
    static int setupTPPM(const char* mangledName, int port, const char* options, KyFwError* err);
};

WZNETWORK_API std::string MangleHostName(const char* account, const char* host, int i, int j);
// Splits a mangled name "a*host*i*j" at '*'; returns false when it does not have that shape.
WZNETWORK_API bool DemangleHostName(const char* mangled, std::string& account, std::string& host, int& i, int& j);

#endif
