// CRC-32 throughput: the device's own routine against zlib's over one 64 MiB
// buffer, with identical results.
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "package/crc32.h"

int main() {
  constexpr size_t size = 64 << 20;
  std::vector<unsigned char> data(size);
  std::mt19937 gen(1);
  for (size_t i = 0; i < size; i += 4) {
    uint32_t w = gen();
    for (size_t k = 0; k < 4; ++k)
      data[i + k] = static_cast<unsigned char>(w >> (8 * k));
  }

  uint32_t ours = 0;
  uLong theirs = 0;
  double t_ours = best_seconds(5, [&] {
    ours = ~crc32_feed(data.data(), static_cast<long>(size), 0xFFFFFFFF);
  });
  double t_zlib = best_seconds(
      5, [&] { theirs = crc32(0, data.data(), static_cast<uInt>(size)); });
  if (ours != theirs) {
    std::printf("crc32: results differ: %08x vs %08lx\n", ours, theirs);
    return 1;
  }
  auto mbs = [](double s) {
    return std::to_string(static_cast<int>(64 / s)) + " MiB/s";
  };
  bool ok =
      report("crc32 throughput",
             "velnor " + mbs(t_ours) + ", zlib " + mbs(t_zlib) + " (64 MiB)",
             t_zlib / t_ours, ">= 0.50 of zlib", t_zlib / t_ours >= 0.5);
  return ok ? 0 : 1;
}
