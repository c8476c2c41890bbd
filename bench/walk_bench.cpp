// The check of a package made of a million empty entries against the check
// of an ordinary package of the same size: the container walk reads entry
// headers a block at a time, so that neither outlives the watchdog's budget.
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "common/os.h"
#include "package/big_endian.h"
#include "package/bpk.h"
#include "package/validate.h"

namespace {

constexpr uint32_t empty_entries = 1000000;

// The entry header of data whose CRC-32 is crc.
std::string entry_header(uint32_t type, uint32_t size, uint32_t crc) {
  unsigned char h[bpk_entry_header_size] = {};
  put_be32(h + bpk_entry_type_at, type);
  put_be64(h + bpk_entry_size_at, size);
  put_be32(h + bpk_entry_crc_at, crc);
  return std::string(reinterpret_cast<const char*>(h), sizeof h);
}

// Writes the entries after a header whose length covers them, then lets the
// library seal it (length and container CRC).
void write_package(const std::string& path, const std::string& entries) {
  unsigned char h[bpk_header_size] = {};
  put_be32(h + bpk_header_magic_at, bpk_magic);
  put_be32(h + bpk_header_version_at, bpk_version);
  put_be64(h + bpk_header_length_at, bpk_header_size + entries.size());
  std::ofstream(path, std::ios::binary)
      << std::string(reinterpret_cast<const char*>(h), sizeof h) << entries;
  bpk_close(bpk_open(path.c_str(), true).release());
}

std::string image_entry(uint32_t type, const std::string& data) {
  return entry_header(type, static_cast<uint32_t>(data.size()),
                      bpk_crc32(data.data(), data.size(), 0)) +
         data;
}

Spread check_seconds(const std::string& path) {
  std::vector<double> runs;
  for (int i = 0; i < 5; ++i) {
    runs.push_back(best_seconds(1, [&] {
      PackagePtr p = bpk_open(path.c_str(), false);
      if (!p || validate_package(p.get()) != 0) std::abort();
    }));
  }
  return spread_of(runs);
}

}  // namespace

int main() {
  std::filesystem::path dir = scratch_dir();
  std::string kernel(4096, 'k'), rootfs = "hsqs" + std::string(4092, 'r');
  std::string entries;
  for (uint32_t i = 0; i < empty_entries; ++i) {
    entries += entry_header(0x4E4F5445, 0, 0);
  }
  entries += image_entry(bpk_type_kernel, kernel);
  entries += image_entry(bpk_type_rootfs, rootfs);
  write_package(dir / "many.bpk2", entries);

  // The same size in two ordinary images.
  std::string big(entries.size() / 2, 'x');
  write_package(dir / "ordinary.bpk2",
                image_entry(bpk_type_kernel, big) +
                    image_entry(bpk_type_rootfs, "hsqs" + big));

  Spread many = check_seconds(dir / "many.bpk2");
  Spread ordinary = check_seconds(dir / "ordinary.bpk2");
  std::filesystem::remove_all(dir);
  double ratio = many.median / ordinary.median;
  return report("package check",
                "1M empty entries " + spread_text(many, milliseconds) +
                    ", ordinary " + spread_text(ordinary, milliseconds),
                ratio, "<= 10", ratio <= 10)
             ? 0
             : 1;
}
