// Firewall client: reachability of destination clients and TPPM tunnel set-up.
//
// This stand-in reads its client table from the file named by KYFW_CLIENTS on first use: one entry a line,
//   <host-name> <route> [<target-address>]
// with '#' starting a comment, routes direct | tunnel | undecided | refuse, the target (a numeric IPv4 or
// IPv6 address) defaulting to 127.0.0.1 and the host name '-' standing for the empty host name. Host names
// match without regard to case; a host missing from the table is reached directly. A line that does not
// parse, or a file that cannot be read, is reported once on standard error. Tunnels are real TCP relays
// on 127.0.0.1 served by one background thread, one tunnel per destination (host, port and target);
// a tunnel lives until it has been idle for a while or its place is needed for another destination (it is
// then given back), the control API closes it or its listener fails. A forked child starts without the
// parent's tunnels. The relay's bounds are in KyFwControl.h.
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

// Codes the firewall client puts in KyFwError::m_code.
enum KyFwErrorCode : int32_t {
    KYFW_ERR_NONE = 0,
    KYFW_ERR_UNDECIDED = 1,  // reachability of the host is not known
    KYFW_ERR_REFUSED = 2,    // policy refuses a tunnel to the host
    KYFW_ERR_BAD_PORT = 3,   // the port is not in 1..65535
    KYFW_ERR_RELAY = 4,      // the local relay could not be opened
};

class WZNETWORK_API KyFwClient {
  public:
    // true: reach the client through a tunnel; false with err set: undecided; false otherwise: direct.
    // Both calls first clear err (when not null), so the record describes the outcome of that call.
    static bool isFirewalled(const char* hostName, const char* domain, KyFwError* err);
    // Opens a tunnel for the (mangled) client name to its target at port; returns the tunnel's local
    // port on 127.0.0.1, or 0 with the reason in err. The host is the name's second part when it
    // demangles, otherwise the whole name. The live tunnel for the same host (in any case), port and
    // target is returned when there is one; otherwise a new one opens.
    static int setupTPPM(const char* mangledName, int port, const char* options, KyFwError* err);
};

// What KyFwTunnelState knows of a local port.
enum KyFwTunnelStateCode : int32_t {
    KYFW_TUNNEL_UNKNOWN = 0,  // not a tunnel this client knows of as given back or as another's
    KYFW_TUNNEL_LIVE = 1,     // the live tunnel of that destination; counts as used now
    KYFW_TUNNEL_GONE = 2,     // given back, or now the tunnel of another destination: never use it again
};

// Whether localPort, once returned by setupTPPM(mangledName, port, ...), still leads to that destination.
// Not every firewall client has it: callers look it up by name at run time.
extern "C" WZNETWORK_API int KyFwTunnelState(int localPort, const char* mangledName, int port);

// Gives "account*host*i*j" with the ints in decimal; a null pointer counts as an empty string.
WZNETWORK_API std::string MangleHostName(const char* account, const char* host, int i, int j);
// Splits a mangled name "a*host*i*j" at '*'; returns false when it does not have that shape (not exactly
// four parts, or an int part that is not a decimal int) and then leaves every output untouched.
WZNETWORK_API bool DemangleHostName(const char* mangled, std::string& account, std::string& host, int& i,
                                    int& j);

#endif
