#include "relay_limits.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kyfw {
namespace {

// A million connections: beyond that a value is more likely a slip.
constexpr long kMostConnections = 1000000;
// Every port of the range at once.
constexpr long kMostTunnels = 65535;

// Decimal digits only, the whole text.
bool parseWhole(const char* text, long most, long& value) {
    const char* end = text + strlen(text);
    long parsed = 0;
    auto result = std::from_chars(text, end, parsed);
    if (result.ec != std::errc() || result.ptr != end || *text == '-' || parsed > most) return false;
    value = parsed;
    return true;
}

void readLimit(const char* name, long most, long& limit) {
    const char* text = getenv(name);
    if (!text) return;
    if (parseWhole(text, most, limit)) return;
    fprintf(stderr, "kyfw: %s=\"%s\" is not a whole number from 0 to %ld, %ld used\n", name, text, most,
            limit);
}

}  // namespace

RelayLimits limitsFromEnvironment() {
    RelayLimits limits;
    readLimit("KYFW_CONNECT_TIMEOUT_MS", kLongestTimeoutMs, limits.connectTimeoutMs);
    readLimit("KYFW_IDLE_TIMEOUT_MS", kLongestTimeoutMs, limits.idleTimeoutMs);
    readLimit("KYFW_MAX_CONNECTIONS", kMostConnections, limits.maxConnections);
    readLimit("KYFW_TUNNEL_IDLE_MS", kLongestTimeoutMs, limits.tunnelIdleMs);
    readLimit("KYFW_MAX_TUNNELS", kMostTunnels, limits.maxTunnels);
    readLimit("KYFW_PORT_QUARANTINE_MS", kLongestTimeoutMs, limits.portQuarantineMs);
    readLimit("KYFW_SPLICE", 1, limits.splice);
    readLimit("KYFW_LATENCY_FIRST", 1, limits.latencyFirst);
    return limits;
}

}  // namespace kyfw
