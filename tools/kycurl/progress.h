// Progress of a reply body on standard error: the body callback of the session is wrapped so that every
// chunk still lands in the session's buffer and also moves the bar.
#ifndef KYCURL_PROGRESS_H
#define KYCURL_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

class KYLibCurl;

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

// The write data installed on the session in place of the session itself.
class ProgressWriter {
  public:
    ProgressWriter(KYLibCurl& session, ProgressMeter& meter) : m_session(session), m_meter(meter) {}

    // Installs Write and this object as the session's body callback and its data.
    bool Install();
    // True when the session refused part of the body (its buffer could not grow).
    bool storeFailed() const { return m_storeFailed; }

    static size_t Write(void* ptr, size_t size, size_t nmemb, void* userdata);

  private:
    int64_t AnnouncedLength() const;

    KYLibCurl& m_session;
    ProgressMeter& m_meter;
    uint64_t m_received = 0;
    int64_t m_total = -1;
    bool m_totalLooked = false;
    bool m_storeFailed = false;
};

}  // namespace kycurl

#endif
