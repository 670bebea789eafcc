// The one results table of a benchmark run.
#ifndef KYBENCH_SUITE_REPORT_H
#define KYBENCH_SUITE_REPORT_H

#include <cmath>
#include <string>
#include <vector>

namespace kybench {

struct Target {
    enum class Kind { None, AtMost, AtLeast };
    Kind kind = Kind::None;
    double bound = 0;

    static Target AtMost(double bound) { return {Kind::AtMost, bound}; }
    static Target AtLeast(double bound) { return {Kind::AtLeast, bound}; }
};

struct Row {
    std::string figure;    // what is measured, e.g. "small GET: client CPU/request"
    std::string library;   // the library's value with its unit
    std::string baseline;  // the baseline's name and value, or empty
    double ratio;          // library / baseline, median of per-round ratios; NaN when there is none
    Target target;
};

class Report {
  public:
    void Section(const std::string& title);
    void Add(Row row);
    // A figure that could not be measured, and why.
    void Unavailable(const std::string& figure, const std::string& reason);
    void Print() const;

  private:
    struct Line {
        bool section;
        Row row;
    };
    std::vector<Line> m_lines;
};

// Formatting helpers for values with units.
std::string Fixed(double value, int decimals);
std::string Micros(double nanoseconds);
std::string Nanos(double nanoseconds);
std::string PerSecond(double rate, const char* unit);
std::string BytesPerSecond(double rate);
std::string Count(double value, const char* unit);

}  // namespace kybench

#endif
