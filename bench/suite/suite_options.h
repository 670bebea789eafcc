// What a run of the suite measures and how long it takes.
#ifndef KYBENCH_SUITE_SUITE_OPTIONS_H
#define KYBENCH_SUITE_SUITE_OPTIONS_H

#include <string>

namespace kybench {

struct SuiteOptions {
    bool quick = false;        // fewer and shorter rounds: for trying the suite out, not for results
    std::string only;          // a figure group to run alone ("small", "instructions", ...), or all
    std::string serverBinary;  // the bench server beside the driver
    std::string selfBinary;    // the driver itself, re-run under callgrind

    // Scales a round count for quick runs, keeping it odd so the median is one round's value.
    int Rounds(int full) const { return quick ? (full / 3) | 1 : full; }
    bool Runs(const std::string& group) const { return only.empty() || only == group; }
};

}  // namespace kybench

#endif
