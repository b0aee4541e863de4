#pragma once
// Order statistics of a run of timings, as the benchmarks print them.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace karvello::bench {

// A steady-clock duration in milliseconds.
inline double Ms(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

// The value at quantile q (0 to 1) of sorted samples, by the nearest rank.
inline double Quantile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return NAN;
  const auto rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  return sorted[std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

// Prints "name: n, median, p5, p95, p99, min, max" in `unit`.
inline void PrintSummary(const std::string& name, std::vector<double> samples, const char* unit) {
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) {
    std::printf("%-40s no samples\n", name.c_str());
    return;
  }
  std::printf(
      "%-40s n=%-4zu median %9.3f  p5 %9.3f  p95 %9.3f  p99 %9.3f  min %9.3f  max %9.3f %s\n",
      name.c_str(), samples.size(), Quantile(samples, 0.5), Quantile(samples, 0.05),
      Quantile(samples, 0.95), Quantile(samples, 0.99), samples.front(), samples.back(), unit);
}

}  // namespace karvello::bench
