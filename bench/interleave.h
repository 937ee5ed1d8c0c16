// Measuring two sides of a ratio so that the figure holds on a busy machine: the sides run
// interleaved in short rounds (A, B, A, B, ...), each round gives one ratio A/B, and the figure is
// the median of the rounds. Load that comes and goes hits both sides of a round alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace Bench {

// Nanoseconds per call of `calls` calls of f.
template <typename F>
double TimeCalls(int calls, F& f) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) f();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / calls;
}

// The value at fraction q (0..1) of sorted values.
inline double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

struct Interleaved {
    double ratio;   // median of the per-round ratios A/B
    double spread;  // their interquartile range
    double aNs;     // median time per call of A
    double bNs;     // median time per call of B

    // Prints <prefix>.<aName>_ns, <prefix>.<bName>_ns, <prefix>.<ratioName> and its spread.
    void Print(const char* prefix, const char* aName, const char* bName,
               const char* ratioName) const {
        std::printf("%s.%s_ns = %.1f\n", prefix, aName, aNs);
        std::printf("%s.%s_ns = %.1f\n", prefix, bName, bNs);
        std::printf("%s.%s = %.3f\n", prefix, ratioName, ratio);
        std::printf("%s.%s_spread = %.3f\n", prefix, ratioName, spread);
    }
};

// `rounds` rounds of `calls` calls of a, then of b, after a warm-up of each.
template <typename A, typename B>
Interleaved MeasureInterleaved(int rounds, int calls, A&& a, B&& b) {
    TimeCalls(calls, a);
    TimeCalls(calls, b);
    std::vector<double> ratios, aTimes, bTimes;
    for (int round = 0; round < rounds; ++round) {
        const double aNs = TimeCalls(calls, a);
        const double bNs = TimeCalls(calls, b);
        aTimes.push_back(aNs);
        bTimes.push_back(bNs);
        ratios.push_back(aNs / bNs);
    }
    return Interleaved{Quantile(ratios, 0.5), Quantile(ratios, 0.75) - Quantile(ratios, 0.25),
                       Quantile(aTimes, 0.5), Quantile(bTimes, 0.5)};
}

// Median time per call of f over `rounds` rounds of `calls` calls.
template <typename F>
double MedianNanoseconds(int rounds, int calls, F&& f) {
    TimeCalls(calls, f);
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) times.push_back(TimeCalls(calls, f));
    return Quantile(times, 0.5);
}

}  // namespace Bench
