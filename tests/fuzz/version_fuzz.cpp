// Arbitrary bytes as version text, and as a package carrying it.
#include <cstdint>
#include <string>

#include "package/version.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  FirmwareVersion a, b;
  if (parse_version(text.c_str(), &a) == 0) {
    // A parsed version compares equal to itself.
    if (compare_versions(&a, &a) != 0) __builtin_trap();
  }
  const std::string& path = fuzz_path("version");
  if (write_fuzz_file(path, data, size)) {
    read_version_file(path.c_str(), &b);
    read_package_version(path.c_str(), &b);
  }
  return 0;
}
