// One direction of a relayed connection: bytes read from the source wait in a buffer until the sink takes
// them; the source's end is passed on as a half-close of the sink. The buffer is taken from the relay's
// pool when bytes are to be read and given back as soon as none wait in it. A bulk flow (its last pump
// read a good part of a buffer) moves its bytes through a pipe instead, spliced in and out by the kernel
// without a copy through user space, when splicing is on and a pipe can be had.
#ifndef WZNETWORK_RELAY_FLOW_H
#define WZNETWORK_RELAY_FLOW_H

#include <sys/types.h>

#include <cstddef>

#include "buffer_pool.h"
#include "pipe_pool.h"

namespace kyfw {

class RelayFlow {
  public:
    enum class State { Waiting, Finished, SourceReset, SinkReset, NoMemory };

    // pipes: null when bytes are to be copied always.
    RelayFlow(BufferPool& pool, PipePool* pipes) : m_pool(pool), m_pipes(pipes) {}
    ~RelayFlow();
    RelayFlow(const RelayFlow&) = delete;
    RelayFlow& operator=(const RelayFlow&) = delete;

    // Moves bytes until the source has nothing more for now, the sink takes no more, or about budget bytes
    // were read, as edge-triggered readiness requires. Finished: the source ended and the sink was shut
    // down for writing. NoMemory: bytes wait and no buffer could be had for them.
    State pump(int source, int sink, size_t budget);
    // The source reported a hang-up: from now on only a read that finds nothing counts as drained, so its
    // end is never missed.
    void noteSourceHangup() { m_sourceHangup = true; }
    // True when the flow waits for its sink: bytes are buffered, or the source was left unread.
    bool waitsForSink() const { return buffered() || m_sourceUnread; }
    // True when the last pump stopped at its budget: the source may have more, and no new edge will say so.
    bool yielded() const { return m_yielded; }
    // True when the last pump that read anything read a good part of a buffer.
    bool bulk() const { return m_bulk; }

  private:
    enum class Io { Progress, Blocked, Failed };

    State move(int source, int sink, size_t budget);
    State splice(int source, int sink, size_t budget);
    State passEnd(int sink);
    bool spliceNow();
    Io flush(int sink);
    Io flushPipe(int sink);
    Io fillPipe(int source);
    Io fill(int source);
    // What a read of n <= 0 bytes means: the source ended (Progress), nothing now (Blocked) or a failure;
    // false, with no outcome, after an interruption, when the read is tried again.
    bool noBytesRead(ssize_t n, Io& outcome);
    Io peekWithoutBuffer(int source);
    bool makeRoom();
    bool buffered() const { return m_head < m_tail || m_piped > 0; }

    BufferPool& m_pool;
    PipePool* m_pipes;
    Pipe m_pipe;
    size_t m_piped = 0;
    bool m_bulk = false;
    size_t m_lastRead = 0;
    char* m_buffer = nullptr;
    size_t m_head = 0;
    size_t m_tail = 0;
    bool m_sourceEnded = false;
    bool m_sinkClosed = false;
    bool m_sourceHangup = false;
    bool m_sourceDrained = false;  // the last read was short: the source had no more at that moment
    bool m_sourceUnread = false;   // reading stopped for want of room, not because the source was empty
    bool m_yielded = false;
};

}  // namespace kyfw

#endif
