#include "rounds.h"

#include <algorithm>
#include <cmath>

namespace kybench {

std::vector<std::vector<double>> RotateRounds(int rounds, const std::vector<Measurement>& contenders) {
    const size_t count = contenders.size();
    std::vector<std::vector<double>> values(count);
    for (int round = 0; round < rounds; ++round) {
        for (size_t step = 0; step < count; ++step) {
            size_t contender = (static_cast<size_t>(round) + step) % count;
            values[contender].push_back(contenders[contender]());
        }
    }
    return values;
}

double Median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    if (values.size() % 2 == 1) return values[middle];
    return (values[middle - 1] + values[middle]) / 2;
}

double MedianRatio(const std::vector<double>& numerator, const std::vector<double>& denominator) {
    std::vector<double> ratios;
    for (size_t i = 0; i < numerator.size() && i < denominator.size(); ++i)
        ratios.push_back(numerator[i] / denominator[i]);
    return Median(ratios);
}

}  // namespace kybench
