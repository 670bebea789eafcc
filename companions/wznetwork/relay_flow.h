// One direction of a relayed connection: bytes read from the source wait in a buffer until the sink takes
// them; the source's end is passed on as a half-close of the sink.
#ifndef WZNETWORK_RELAY_FLOW_H
#define WZNETWORK_RELAY_FLOW_H

#include <cstddef>
#include <memory>

namespace kyfw {

class RelayFlow {
  public:
    enum class State { Waiting, Finished, SourceReset, SinkReset };

    RelayFlow();
    // Moves bytes until the source has nothing more for now or the sink takes no more, as edge-triggered
    // readiness requires. Finished: the source ended and the sink was shut down for writing.
    State pump(int source, int sink);
    // The source reported a hang-up: from now on only a read that finds nothing counts as drained, so its
    // end is never missed.
    void noteSourceHangup() { m_sourceHangup = true; }
    // True when the flow waits for its sink: bytes are buffered, or the source was left unread.
    bool waitsForSink() const { return buffered() || m_sourceUnread; }

  private:
    enum class Io { Progress, Blocked, Failed };

    Io flush(int sink);
    Io fill(int source);
    bool makeRoom();
    bool buffered() const { return m_head < m_tail; }

    std::unique_ptr<char[]> m_buffer;
    size_t m_head = 0;
    size_t m_tail = 0;
    bool m_sourceEnded = false;
    bool m_sinkClosed = false;
    bool m_sourceHangup = false;
    bool m_sourceDrained = false;  // the last read was short: the source had no more at that moment
    bool m_sourceUnread = false;   // reading stopped for want of room, not because the source was empty
};

}  // namespace kyfw

#endif
