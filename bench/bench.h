// What the benchmarks share: a clock, best-of-N timing, one result line per
// figure, a scratch directory, random test data, and running the project's
// programs (as the tests run them).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "tests/program_run.h"

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

// A figure's runs: the median, with the fastest and the slowest beside it.
struct Spread {
  double min, median, max;
};

inline Spread spread_of(std::vector<double> runs) {
  std::sort(runs.begin(), runs.end());
  return {runs.front(), runs[runs.size() / 2], runs.back()};
}

// "median (min-max)", each in the unit that unit writes.
inline std::string spread_text(const Spread& s,
                               const std::function<std::string(double)>& unit) {
  return unit(s.median) + " (" + unit(s.min) + "-" + unit(s.max) + ")";
}

inline std::string milliseconds(double seconds) {
  return std::to_string(static_cast<long>(seconds * 1000 + 0.5)) + " ms";
}

// "figure: ours vs theirs = ratio (target)" and whether the target holds.
inline bool report(const std::string& figure, const std::string& detail,
                   double ratio, const std::string& target, bool met) {
  std::printf("%-26s %-58s ratio %.2f (%s) %s\n", figure.c_str(),
              detail.c_str(), ratio, target.c_str(), met ? "ok" : "MISSED");
  std::fflush(stdout);
  return met;
}

// A new directory of its own under the system's temporary directory.
inline std::filesystem::path scratch_dir() {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "velnor-bench-XXXXXX").string();
  return mkdtemp(tmpl.data());
}

// size bytes of repeatable noise.
inline void random_file(const std::filesystem::path& path, size_t size,
                        unsigned seed) {
  std::mt19937 gen(seed);
  std::ofstream out(path, std::ios::binary);
  std::vector<uint32_t> words(1 << 16);
  for (size_t done = 0; done < size;) {
    for (uint32_t& w : words) w = gen();
    size_t n = std::min(words.size() * 4, size - done);
    out.write(reinterpret_cast<const char*>(words.data()),
              static_cast<std::streamsize>(n));
    done += n;
  }
}

// Runs a program (args[0] its path) with its output kept in dir and the
// environment variables in env added; its peak memory in KiB, or -1 when it
// failed.
inline long run_program(const std::filesystem::path& dir,
                        const std::vector<std::string>& args,
                        const std::vector<std::string>& env = {}) {
  ProgramRun r = run_program_in(dir, args, 0, env);
  return r.status == 0 ? r.max_rss_kb : -1;
}
