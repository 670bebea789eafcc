// Progress of a reply body on standard error, moved by the body callback as each chunk arrives.
#ifndef KYCURL_PROGRESS_H
#define KYCURL_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kycurl {

// Bytes received so far, the rate, and a bar when the reply announced its length. It draws nothing for
// transfers shorter than half a second and redraws at most ten times a second.
class ProgressMeter {
  public:
    explicit ProgressMeter(bool enabled);

    // total is -1 while the length is unknown.
    void Update(uint64_t received, int64_t total);
    // Draws the final state and ends the line, if anything was drawn.
    void Finish();

  private:
    using Clock = std::chrono::steady_clock;

    void Draw(double seconds);

    bool m_enabled;
    bool m_drawn = false;
    Clock::time_point m_start;
    Clock::time_point m_lastDraw;
    uint64_t m_received = 0;
    int64_t m_total = -1;
};

// One line of the meter, without the leading carriage return.
std::string RenderProgress(uint64_t received, int64_t total, double seconds);

}  // namespace kycurl

#endif
