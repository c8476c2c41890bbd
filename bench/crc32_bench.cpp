// CRC-32 throughput in the installation's own call patterns: the package's
// entry CRC feeds it 2048 bytes a call, the read-back 4096, against zlib's
// crc32 fed the same way, over 64 MiB; and one long call. Medians of seven
// runs of each, taking turns, in the thread's CPU time; identical results
// required.
#include <time.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench.h"
#include "package/crc32.h"

namespace {

constexpr size_t size = 64 << 20;

// The thread's own CPU time: other work on the machine (a test run beside
// it) does not count against either side.
double cpu_seconds(const std::function<void()>& call) {
  timespec start{}, end{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  call();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  return static_cast<double>(end.tv_sec - start.tv_sec) +
         static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
}

// Seven runs of each, the two taking turns.
std::pair<Spread, Spread> spread_seconds(const std::function<void()>& ours,
                                         const std::function<void()>& theirs) {
  std::vector<double> a, b;
  for (int i = 0; i < 7; ++i) {
    a.push_back(cpu_seconds(ours));
    b.push_back(cpu_seconds(theirs));
  }
  return {spread_of(a), spread_of(b)};
}

}  // namespace

int main() {
  std::vector<unsigned char> data(size);
  std::mt19937 gen(1);
  for (size_t i = 0; i < size; i += 4) {
    uint32_t w = gen();
    for (size_t k = 0; k < 4; ++k)
      data[i + k] = static_cast<unsigned char>(w >> (8 * k));
  }
  bool ok = true;
  for (size_t chunk : {size_t{2048}, size_t{4096}, size}) {
    uint32_t ours = 0;
    uLong theirs = 0;
    auto [t_ours, t_zlib] = spread_seconds(
        [&] {
          uint32_t reg = 0xFFFFFFFF;
          for (size_t at = 0; at < size; at += chunk)
            reg = crc32_feed(data.data() + at, static_cast<long>(chunk), reg);
          ours = ~reg;
        },
        [&] {
          uLong c = 0;
          for (size_t at = 0; at < size; at += chunk)
            c = crc32(c, data.data() + at, static_cast<uInt>(chunk));
          theirs = c;
        });
    if (ours != theirs) {
      std::printf("crc32: results differ: %08x vs %08lx\n", ours, theirs);
      return 1;
    }
    auto mbs = [](double s) {
      return std::to_string(static_cast<int>(64 / s)) + " MiB/s";
    };
    std::string pattern =
        chunk == size ? "one call" : std::to_string(chunk) + "-byte calls";
    // Throughput: the slowest run is the lowest figure.
    auto rate = [&](const Spread& t) {
      return mbs(t.median) + " (" + mbs(t.max) + "-" + mbs(t.min) + ")";
    };
    double ratio = t_zlib.median / t_ours.median;
    ok &= report("crc32 " + pattern,
                 "velnor " + rate(t_ours) + ", zlib " + rate(t_zlib) +
                     ", 64 MiB, 7 runs",
                 ratio, ">= 0.90 of zlib", ratio >= 0.9);
  }
  return ok ? 0 : 1;
}
