#include "support/log_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>

namespace kytest {

namespace {

// Matches text against a layout where '9' stands for a digit and every other character for itself.
bool matchesLayout(const std::string& text, size_t at, const char* layout) {
    for (size_t i = 0; layout[i] != '\0'; ++i, ++at) {
        if (at >= text.size()) return false;
        char c = text[at];
        if (layout[i] == '9' ? !std::isdigit(static_cast<unsigned char>(c)) : c != layout[i]) return false;
    }
    return true;
}

// "YYYY-MM-DD HH:MM:SS.mmm <tid> <level> <tag>: <message>"; the tag ends at the first ": " after the level.
bool parseLine(const std::string& text, LogLine& line) {
    if (!matchesLayout(text, 0, "9999-99-99 99:99:99.999 ")) return false;
    size_t tidEnd = text.find(' ', 24);
    if (tidEnd == std::string::npos || tidEnd == 24) return false;
    size_t levelEnd = text.find(' ', tidEnd + 1);
    if (levelEnd == std::string::npos || levelEnd == tidEnd + 1) return false;
    line.level = text.substr(tidEnd + 1, levelEnd - tidEnd - 1);
    size_t tagEnd = text.find(": ", levelEnd + 1);
    if (tagEnd == std::string::npos) {
        // A message that is empty leaves the line ending in ':' once trailing blanks are gone.
        line.tag = text.substr(levelEnd + 1);
        if (!line.tag.empty() && line.tag.back() == ':') line.tag.pop_back();
        line.message.clear();
        return true;
    }
    line.tag = text.substr(levelEnd + 1, tagEnd - levelEnd - 1);
    line.message = text.substr(tagEnd + 2);
    return true;
}

}  // namespace

void PrintTo(const LogLine& line, std::ostream* out) {
    *out << "{" << line.level << " " << line.tag << ": " << line.message << "}";
}

LogCapture::LogCapture(int level) {
    char path[] = "/tmp/kytest-log-XXXXXX";
    int fd = ::mkstemp(path);
    if (fd < 0) {
        ADD_FAILURE() << "LogCapture: could not create a log file";
        return;
    }
    ::close(fd);
    m_path = path;
    m_logger.emplace(m_path, level);
}

LogCapture::~LogCapture() {
    m_logger.reset();  // the logger leaves the file before the file goes
    if (!m_path.empty()) std::remove(m_path.c_str());
}

std::vector<LogLine> LogCapture::lines() const {
    std::vector<LogLine> lines;
    std::ifstream file(m_path, std::ios::binary);
    std::string text;
    while (std::getline(file, text)) {
        LogLine line;
        if (parseLine(text, line)) {
            lines.push_back(line);
        } else if (!lines.empty()) {
            lines.back().message += "\n" + text;
        } else {
            line.message = text;
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> LogCapture::messages() const {
    std::vector<std::string> messages;
    for (const LogLine& line : lines()) messages.push_back(line.message);
    return messages;
}

bool LogCapture::contains(const std::string& message) const { return count(message) > 0; }

size_t LogCapture::count(const std::string& message) const {
    std::vector<std::string> all = messages();
    return static_cast<size_t>(std::count(all.begin(), all.end(), message));
}

bool LogCapture::containsLine(const std::string& level, const std::string& tag,
                              const std::string& message) const {
    std::vector<LogLine> all = lines();
    return std::find(all.begin(), all.end(), LogLine{level, tag, message}) != all.end();
}

void LogCapture::clear() {
    if (!m_path.empty()) ::truncate(m_path.c_str(), 0);
}

}  // namespace kytest
