// CRC-32 throughput in the installation's own call patterns: the package's
// entry CRC feeds it 2048 bytes a call, the read-back 4096, against zlib's
// crc32 fed the same way, over 64 MiB; and one long call. Medians of seven
// runs; identical results required.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "package/crc32.h"

namespace {

constexpr size_t size = 64 << 20;

double median_seconds(const std::function<void()>& call) {
  std::vector<double> runs;
  for (int i = 0; i < 7; ++i) runs.push_back(best_seconds(1, call));
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
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
    double t_ours = median_seconds([&] {
      uint32_t reg = 0xFFFFFFFF;
      for (size_t at = 0; at < size; at += chunk)
        reg = crc32_feed(data.data() + at, static_cast<long>(chunk), reg);
      ours = ~reg;
    });
    double t_zlib = median_seconds([&] {
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
    ok &= report("crc32 " + pattern,
                 "velnor " + mbs(t_ours) + ", zlib " + mbs(t_zlib) +
                     " (64 MiB, median of 7)",
                 t_zlib / t_ours, ">= 0.90 of zlib", t_zlib / t_ours >= 0.9);
  }
  return ok ? 0 : 1;
}
