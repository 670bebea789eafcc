// Side-by-side measurement: every contender runs once per round, the order rotating from round to round,
// so that drift in the machine's load falls on all of them alike. Figures are medians of per-round values
// and of per-round ratios.
#ifndef KYBENCH_SUITE_ROUNDS_H
#define KYBENCH_SUITE_ROUNDS_H

#include <functional>
#include <vector>

namespace kybench {

// One measurement of one contender: a value such as nanoseconds per request or bytes per second.
using Measurement = std::function<double()>;

// values[contender][round]. Round r starts with contender r modulo the number of contenders.
std::vector<std::vector<double>> RotateRounds(int rounds, const std::vector<Measurement>& contenders);

double Median(std::vector<double> values);

// Median over rounds of numerator[r] / denominator[r].
double MedianRatio(const std::vector<double>& numerator, const std::vector<double>& denominator);

}  // namespace kybench

#endif
