#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace kycurl {

namespace {

constexpr double kQuietSeconds = 0.5;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

std::string HumanBytes(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
    return text;
}

std::string Bar(uint64_t received, int64_t total) {
    double fraction = total > 0 ? static_cast<double>(received) / static_cast<double>(total) : 1.0;
    if (fraction > 1.0) fraction = 1.0;
    int filled = static_cast<int>(fraction * kBarWidth);
    char percent[8];
    snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(fraction * 100.0));
    return percent + ("[" + std::string(filled, '#') + std::string(kBarWidth - filled, ' ') + "] ");
}

}  // namespace

std::string RenderProgress(uint64_t received, int64_t total, double seconds) {
    std::string line = total >= 0 ? Bar(received, total) : std::string();
    line += HumanBytes(static_cast<double>(received));
    line += total >= 0 ? " of " + HumanBytes(static_cast<double>(total)) : " received";
    double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0.0;
    line += "  " + HumanBytes(rate) + "/s";
    return line;
}

ProgressMeter::ProgressMeter(bool enabled)
    : m_enabled(enabled && isatty(STDERR_FILENO)), m_start(Clock::now()), m_lastDraw(m_start) {}

void ProgressMeter::Update(uint64_t received, int64_t total) {
    m_received = received;
    m_total = total;
    if (!m_enabled) return;
    Clock::time_point now = Clock::now();
    double seconds = std::chrono::duration<double>(now - m_start).count();
    if (seconds < kQuietSeconds) return;
    if (m_drawn && now - m_lastDraw < kRedrawInterval) return;
    m_lastDraw = now;
    Draw(seconds);
}

void ProgressMeter::Finish() {
    if (!m_drawn) return;
    Draw(std::chrono::duration<double>(Clock::now() - m_start).count());
    fputc('\n', stderr);
    m_drawn = false;
}

void ProgressMeter::Draw(double seconds) {
    // "\033[K" clears what a longer earlier line left on the right.
    fprintf(stderr, "\r%s\033[K", RenderProgress(m_received, m_total, seconds).c_str());
    fflush(stderr);
    m_drawn = true;
}

}  // namespace kycurl
