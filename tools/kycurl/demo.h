// kycurl --demo: requests of every kind against an embedded server on 127.0.0.1, a routed request
// through a firewall tunnel, a reconnect after a stale tunnel, a route probe and a wire trace.
#ifndef KYCURL_DEMO_H
#define KYCURL_DEMO_H

namespace kycurl {

// Prints each step and what came back; 0 when every step went as expected, 1 otherwise.
int RunDemo();

}  // namespace kycurl

#endif
