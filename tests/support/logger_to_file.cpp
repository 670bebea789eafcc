#include "support/logger_to_file.h"

#include "EvDebug.h"

namespace kytest {

LoggerToFile::LoggerToFile(const std::string& path, int level)
    : m_oldPath(EvDebug::Destination()), m_oldLevel(EvDebug::Level()) {
    EvDebug::SetDestination(path);
    EvDebug::SetLevel(level);
}

LoggerToFile::~LoggerToFile() {
    EvDebug::SetDestination(m_oldPath);
    EvDebug::SetLevel(m_oldLevel);
}

}  // namespace kytest
