// Arbitrary bytes as a sysfs attribute: every reader of numbers, device
// numbers, flags and text.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/sysfs.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

// A directory of one process, removed when it ends; its "dev" attribute is
// the input.
struct FuzzDir {
  FuzzDir() {
    std::string tmpl = "/tmp/velnor-fuzz-sysfs-XXXXXX";
    path = ::mkdtemp(tmpl.data()) != nullptr ? tmpl : "";
  }
  ~FuzzDir() {
    ::unlink((path + "/dev").c_str());
    ::rmdir(path.c_str());
  }
  std::string path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzDir dir;
  if (dir.path.empty() || !write_fuzz_file(dir.path + "/dev", data, size)) {
    return 0;
  }
  if (auto text = sysfs_read_string(dir.path, "dev")) {
    if (text->size() > 2047 ||
        text->find_first_of(std::string("\0\n\r", 3)) != std::string::npos) {
      __builtin_trap();
    }
  }
  int zero = sysfs_attr_is_zero(dir.path, "dev");
  if (zero == 1 && (size == 0 || data[0] != '0')) __builtin_trap();
  int64_t number = 0;
  sysfs_read_int64(dir.path, "dev", &number);
  int32_t small = 0;
  sysfs_read_int(dir.path, "dev", &small);
  uint32_t devnum = 0;
  sysfs_read_devnum(dir.path, &devnum);
  return 0;
}
