// What an epoll event of the relay names: the wake-up, a tunnel's listener by the tunnel's id, or one side
// of a relayed connection by the connection's address. A connection closed while its events wait in a
// batch stays allocated until the batch is done, so its address is never reused too early.
#ifndef WZNETWORK_RELAY_TOKENS_H
#define WZNETWORK_RELAY_TOKENS_H

#include <sys/epoll.h>

#include <cstdint>

#include "relay_connection.h"

namespace kyfw {

enum TokenKind : uint64_t { kWake = 0, kListener = 1, kClient = 2, kTarget = 3 };
constexpr int kTokenKindBits = 2;
constexpr uint64_t kTokenKindMask = 3;
static_assert(alignof(RelayConnection) > kTokenKindMask, "the kind lives in the address's low bits");

constexpr uint64_t kWakeToken = kWake;

// Level-triggered: a listener left with connections in its queue, after its share of a turn or while
// descriptors were short, is reported again.
constexpr uint32_t kListenerEvents = EPOLLIN;
// Edge-triggered: each readiness is acted on until the socket would block or the flow's budget is spent.
// A peer's hang-up is reported with the readiness it comes with, so a flow knows when a short read may
// hide its end.
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

inline uint64_t listenerToken(uint64_t tunnelId) { return tunnelId << kTokenKindBits | kListener; }

inline uint64_t connectionToken(const RelayConnection& connection, TokenKind side) {
    return reinterpret_cast<uintptr_t>(&connection) | side;
}

inline TokenKind tokenKind(uint64_t token) { return static_cast<TokenKind>(token & kTokenKindMask); }

inline uint64_t tokenTunnel(uint64_t token) { return token >> kTokenKindBits; }

// The address stored by connectionToken, given back.
inline RelayConnection& tokenConnection(uint64_t token) {
    auto address = static_cast<uintptr_t>(token & ~kTokenKindMask);
    return *reinterpret_cast<RelayConnection*>(address);  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace kyfw

#endif
