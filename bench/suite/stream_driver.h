// Raw TCP streams for the relay figures, all driven from one thread: each connection sends its bytes to an
// echo server and reads them back, or sends and reads for as long as it is let run; and one-byte pings
// timed round trip by round trip.
#ifndef KYBENCH_SUITE_STREAM_DRIVER_H
#define KYBENCH_SUITE_STREAM_DRIVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kybench {

// Opens count connections to port on 127.0.0.1; each sends bytes and reads as many back (bytes 0: until
// stop is set). Returns the wall time in nanoseconds from the first byte to the last, or -1 when a
// connection failed or short of the bytes.
int64_t RunStreams(int port, size_t count, size_t bytes, const std::atomic<bool>* stop = nullptr);

// bytes per second over a RunStreams run that took elapsed nanoseconds; a failed run clears ok.
double StreamRate(double bytes, int64_t elapsed, bool& ok);

// count one-byte round trips over one connection to port; the round-trip times in nanoseconds, or an
// empty list when the connection failed.
std::vector<int64_t> RunPings(int port, size_t count);

}  // namespace kybench

#endif
