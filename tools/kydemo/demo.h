// The demo: requests of every kind against an embedded server on 127.0.0.1, a routed request
// through a firewall tunnel, a reconnect after a stale tunnel, a route probe and a wire trace.
#ifndef KYDEMO_DEMO_H
#define KYDEMO_DEMO_H

namespace kydemo {

// Prints each step and what came back; 0 when every step went as expected, 1 otherwise.
int RunDemo();

}  // namespace kydemo

#endif
