#include "evdebug_settings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace wzutils {

namespace {

constexpr int kDefaultLevel = 2;

// A missing or unparsable setting gives the default. The caller's errno is left as it was.
int levelFromText(const char* text) {
    if (!text || !*text) return kDefaultLevel;
    const int savedErrno = errno;
    errno = 0;
    char* end = nullptr;
    const long level = std::strtol(text, &end, 10);
    const bool valid = errno == 0 && *end == '\0' && level >= INT_MIN && level <= INT_MAX;
    errno = savedErrno;
    return valid ? static_cast<int>(level) : kDefaultLevel;
}

std::string pathFromText(const char* text) { return text ? text : ""; }

}  // namespace

EvDebugSettings& EvDebugSettings::instance() {
    static EvDebugSettings* const settings = new EvDebugSettings();
    return *settings;
}

EvDebugSettings::EvDebugSettings()
    : m_path(pathFromText(std::getenv("EVDEBUG_FILE"))),
      m_level(levelFromText(std::getenv("EVDEBUG_LEVEL"))) {}

std::string EvDebugSettings::destination() const {
    const std::lock_guard<std::mutex> hold(m_mutex);
    return m_path;
}

void EvDebugSettings::setDestination(const std::string& path) {
    std::string copy = path;  // built outside the lock
    const std::lock_guard<std::mutex> hold(m_mutex);
    m_path.swap(copy);
}

}  // namespace wzutils
