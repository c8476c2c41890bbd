// What the benchmarks share: a clock, best-of-N timing, and one result line
// per figure.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

// The fastest of runs calls: the least disturbed by the rest of the machine.
inline double best_seconds(int runs, const std::function<void()>& call) {
  double best = 1e30;
  for (int i = 0; i < runs; ++i) {
    auto start = std::chrono::steady_clock::now();
    call();
    std::chrono::duration<double> took =
        std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

// "figure: ours vs theirs = ratio (target)" and whether the target holds.
inline bool report(const std::string& figure, const std::string& detail,
                   double ratio, const std::string& target, bool met) {
  std::printf("%-24s %-58s ratio %.2f (%s) %s\n", figure.c_str(),
              detail.c_str(), ratio, target.c_str(), met ? "ok" : "MISSED");
  std::fflush(stdout);
  return met;
}
