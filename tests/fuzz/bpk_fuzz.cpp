// Arbitrary bytes as a package: every read-side operation must stay within
// the file, terminate, and never crash.
#include <cstdint>

#include "package/bpk.h"
#include "package/validate.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = fuzz_path("pkg");
  const std::string& out = fuzz_path("out");
  if (!write_fuzz_file(path, data, size)) return 0;

  PackagePtr package = bpk_open(path.c_str(), false);
  if (!package) return 0;
  uint32_t stored = 0;
  bpk_container_crc(package.get(), &stored);
  bpk_verify(package.get());

  // Walk every entry: read a little, check its CRC, extract some.
  uint64_t size64;
  uint32_t crc, variant, type;
  int entries = 0;
  while ((type = bpk_next(package.get(), &size64, &crc, &variant)) !=
             bpk_no_entry &&
         ++entries < 64) {
    char buffer[64];
    bpk_read(package.get(), buffer, sizeof buffer);
    bpk_entry_crc(package.get());
    if (entries % 3 == 0) (void)bpk_extract(package.get(), out.c_str());
  }
  bpk_rewind(package.get());
  if (bpk_find(package.get(), bpk_type_kernel, 0, &size64, &crc) == 0) {
    char buffer[4096];
    while (bpk_read(package.get(), buffer, sizeof buffer) != 0) {
    }
  }
  validate_package(package.get());
  // As a device with a board name checks it.
  validate_package(package.get(), nullptr, nullptr, "fuzz-board");
  return 0;
}
