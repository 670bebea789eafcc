// The reference relay of the routed figures: the plainest way to relay TCP on one thread. Level-triggered
// epoll, blocking sockets, and for each readable socket one read of up to 64 KiB written out whole to the
// other side. Requests sent directly to it show what relaying costs on this machine by itself.
#ifndef KYBENCH_SUITE_PLAIN_RELAY_H
#define KYBENCH_SUITE_PLAIN_RELAY_H

#include <atomic>
#include <map>
#include <thread>

namespace kybench {

class PlainRelay {
  public:
    PlainRelay() = default;
    ~PlainRelay();
    PlainRelay(const PlainRelay&) = delete;
    PlainRelay& operator=(const PlainRelay&) = delete;

    // Listens on 127.0.0.1 and relays every connection to 127.0.0.1:targetPort; the local port, or 0.
    int Start(int targetPort);

  private:
    void Run();
    void Accept();
    // Moves one read's worth from fd to its peer; false when the pair is to be closed.
    bool Forward(int fd);
    void ClosePair(int fd);

    int m_targetPort = 0;
    int m_listener = -1;
    int m_epoll = -1;
    int m_wake = -1;
    std::atomic<bool> m_stop{false};
    std::map<int, int> m_peer;
    std::thread m_thread;
};

}  // namespace kybench

#endif
