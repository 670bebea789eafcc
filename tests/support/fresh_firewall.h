// The firewall stand-in as a test finds it: no configured routes, no open tunnels.
#ifndef KYTEST_FRESH_FIREWALL_H
#define KYTEST_FRESH_FIREWALL_H

#include "KyFwControl.h"

namespace kytest {

// Resets the routes and closes every tunnel when made and again when destroyed. A fixture holds one as
// its last member, so the firewall is fresh before SetUp and again right after TearDown.
class FreshFirewall {
  public:
    FreshFirewall() { Reset(); }
    ~FreshFirewall() { Reset(); }
    FreshFirewall(const FreshFirewall&) = delete;
    FreshFirewall& operator=(const FreshFirewall&) = delete;

    static void Reset() {
        kyfw::closeAllTunnels();
        kyfw::resetRoutes();
    }
};

}  // namespace kytest

#endif
