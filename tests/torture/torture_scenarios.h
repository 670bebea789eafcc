// The sessions the torture run fails allocations in. Each scenario is a whole session's life: made,
// initialised, used and destroyed, with nothing but the library's own calls while allocations are counted.
#ifndef KYTORTURE_TORTURE_SCENARIOS_H
#define KYTORTURE_TORTURE_SCENARIOS_H

#include <string>

namespace kytest {

// Everything a scenario passes to the library, built before allocations are counted, so that every
// counted allocation is one the library (or what it calls) makes.
struct Setting {
    std::string echoUrl;          // the server's /echo
    std::string headerUrl;        // two reply header lines of the same name
    std::string failingUrl;       // status 500
    std::string missingUrl;       // status 404
    std::string refusedUrl;       // a port that refuses connections
    std::string routedUrl;        // the server, through a tunnel (ordinary route)
    std::string dynamicUrl;       // the server under another key, through a tunnel (dynamic route)
    std::string stalePrefix;      // a tunnel prefix whose port refuses: the dynamic route reconnects
    std::string clientName;       // the destination client of the routed requests
    std::string secureUrl;        // the HTTPS server
    std::string secureRoutedUrl;  // the HTTPS server, through a tunnel
    std::string caFile;           // the CA the HTTPS server's certificate is signed by
    bool tls = false;             // the scenarios make HTTPS requests too
};

struct Scenario {
    const char* name;
    // Puts the process-wide state the scenario starts from in place (routes, the stale tunnel entry).
    void (*prepare)(const Setting& setting);
    // One session's life; gives the number of results that differ from a run without failures.
    int (*run)(const Setting& setting);
};

extern const Scenario kScenarios[];
extern const int kScenarioCount;

// The step a scenario is at, for the report of a run that went wrong.
const char* CurrentStep();
// The first step whose result differed from a run without failures since ForgetDifferences.
const char* FirstDifference();
void ForgetDifferences();

// Ends what a scenario leaves in the process: tunnels, routes, cached tunnel prefixes, shared connections,
// the trace file. What is left afterwards is what the process holds for good.
void Settle(const Setting& setting);

}  // namespace kytest

#endif
