#include "pipe_pool.h"

#include <fcntl.h>
#include <unistd.h>

#include "KyFwControl.h"

namespace kyfw {
namespace {

void closePipe(Pipe& pipe) {
    if (pipe.read >= 0) close(pipe.read);
    if (pipe.write >= 0) close(pipe.write);
    pipe = Pipe();
}

}  // namespace

Pipe PipePool::take() {
    if (m_keptCount > 0) {
        Pipe kept = m_kept[--m_keptCount];
        m_keptBytes -= kept.capacity;
        m_inUse += kept.capacity;
        return kept;
    }
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return Pipe();
    Pipe pipe;
    pipe.read = ends[0];
    pipe.write = ends[1];
    // As large as a copying flow's buffer, so that both move as much per call; the system's default
    // when a user's pipes already hold their share.
    fcntl(pipe.write, F_SETPIPE_SZ, static_cast<int>(kRelayBufferSize));
    int capacity = fcntl(pipe.write, F_GETPIPE_SZ);
    if (capacity <= 0) {
        closePipe(pipe);
        return Pipe();
    }
    pipe.capacity = static_cast<size_t>(capacity);
    m_inUse += pipe.capacity;
    return pipe;
}

void PipePool::giveBack(Pipe& pipe, bool empty) {
    if (!pipe) return;
    m_inUse -= pipe.capacity;
    if (empty && m_keptCount < kMostKept) {
        m_keptBytes += pipe.capacity;
        m_kept[m_keptCount++] = pipe;
        pipe = Pipe();
        return;
    }
    closePipe(pipe);
}

void PipePool::trim(size_t most) {
    while (m_keptCount > most) {
        m_keptBytes -= m_kept[m_keptCount - 1].capacity;
        closePipe(m_kept[--m_keptCount]);
    }
}

}  // namespace kyfw
