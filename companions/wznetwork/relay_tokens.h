// What an epoll event of the relay names: the wake-up, a tunnel's listener by the tunnel's local port, or
// one side of a relayed connection by its descriptor and the connection's serial number. A connection is
// freed as soon as it closes: an event for it that still waits in a batch finds its descriptor's entry in
// the relay's table empty, or holding a later connection with another serial number, and is dropped.
#ifndef WZNETWORK_RELAY_TOKENS_H
#define WZNETWORK_RELAY_TOKENS_H

#include <sys/epoll.h>

#include <cstdint>

namespace kyfw {

enum TokenKind : uint64_t { kWake = 0, kListener = 1, kClient = 2, kTarget = 3 };
constexpr int kTokenKindBits = 2;
constexpr uint64_t kTokenKindMask = 3;
constexpr int kSerialShift = 32;
constexpr uint64_t kDescriptorMask = 0xffffffffu;

constexpr uint64_t kWakeToken = kWake;

// Level-triggered: a listener left with connections in its queue, after its share of a turn or while
// descriptors were short, is reported again.
constexpr uint32_t kListenerEvents = EPOLLIN;
// Edge-triggered: each readiness is acted on until the socket would block or the flow's budget is spent.
// A peer's hang-up is reported with the readiness it comes with, so a flow knows when a short read may
// hide its end.
constexpr uint32_t kConnectionEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

inline uint64_t listenerToken(uint64_t localPort) { return localPort << kTokenKindBits | kListener; }

inline uint64_t connectionToken(uint32_t serial, int fd, TokenKind side) {
    return uint64_t{serial} << kSerialShift | static_cast<uint64_t>(fd) << kTokenKindBits | side;
}

inline TokenKind tokenKind(uint64_t token) { return static_cast<TokenKind>(token & kTokenKindMask); }

inline uint64_t tokenTunnel(uint64_t token) { return token >> kTokenKindBits; }

inline int tokenDescriptor(uint64_t token) {
    return static_cast<int>((token & kDescriptorMask) >> kTokenKindBits);
}

inline uint32_t tokenSerial(uint64_t token) { return static_cast<uint32_t>(token >> kSerialShift); }

}  // namespace kyfw

#endif
