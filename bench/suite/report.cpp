#include "report.h"

#include <cmath>
#include <cstdio>

namespace kybench {
namespace {

std::string TargetText(const Target& target) {
    switch (target.kind) {
        case Target::Kind::AtMost:
            return "<= " + Fixed(target.bound, 2);
        case Target::Kind::AtLeast:
            return ">= " + Fixed(target.bound, 2);
        case Target::Kind::None:
            break;
    }
    return "";
}

std::string Verdict(const Row& row) {
    if (row.target.kind == Target::Kind::None || std::isnan(row.ratio)) return "";
    bool met = row.target.kind == Target::Kind::AtMost ? row.ratio <= row.target.bound
                                                       : row.ratio >= row.target.bound;
    return met ? "met" : "MISSED";
}

// One table line, its columns padded to their widths and no blanks left at its end.
void PrintColumns(const std::string& figure, const std::string& library, const std::string& baseline,
                  const std::string& ratio, const std::string& target, const std::string& verdict) {
    char line[512];
    snprintf(line, sizeof line, "%-44s %-18s %-38s %7s  %-8s %s", figure.c_str(), library.c_str(),
             baseline.c_str(), ratio.c_str(), target.c_str(), verdict.c_str());
    std::string text = line;
    text.erase(text.find_last_not_of(' ') + 1);
    printf("%s\n", text.c_str());
}

}  // namespace

void Report::Section(const std::string& title) { m_lines.push_back({true, Row{title, "", "", NAN, {}}}); }

void Report::Add(Row row) { m_lines.push_back({false, std::move(row)}); }

void Report::Unavailable(const std::string& figure, const std::string& reason) {
    Add(Row{figure, "not measured", reason, NAN, {}});
}

void Report::Print() const {
    PrintColumns("Figure", "Library", "Baseline", "Ratio", "Target", "");
    printf("%s\n", std::string(126, '-').c_str());
    for (const Line& line : m_lines) {
        if (line.section) {
            printf("%s\n", line.row.figure.c_str());
            continue;
        }
        const Row& row = line.row;
        std::string ratio = std::isnan(row.ratio) ? "" : Fixed(row.ratio, 3);
        PrintColumns("  " + row.figure, row.library, row.baseline, ratio, TargetText(row.target),
                     Verdict(row));
    }
    fflush(stdout);
}

std::string Fixed(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Micros(double nanoseconds) { return Fixed(nanoseconds / 1000, 2) + " us"; }

std::string Nanos(double nanoseconds) { return Fixed(nanoseconds, 1) + " ns"; }

std::string PerSecond(double rate, const char* unit) {
    if (rate >= 1e6) return Fixed(rate / 1e6, 2) + " M" + unit + "/s";
    if (rate >= 1e3) return Fixed(rate / 1e3, 2) + " k" + unit + "/s";
    return Fixed(rate, 1) + " " + unit + "/s";
}

std::string BytesPerSecond(double rate) {
    if (rate >= 1e9) return Fixed(rate / 1e9, 2) + " GB/s";
    return Fixed(rate / 1e6, 1) + " MB/s";
}

std::string Count(double value, const char* unit) {
    if (value >= 1e6) return Fixed(value / 1e6, 2) + " M" + unit;
    if (value >= 1e3) return Fixed(value / 1e3, 2) + " k" + unit;
    return Fixed(value, 0) + " " + unit;
}

}  // namespace kybench
