// Arbitrary bytes as a key file: a list of trusted public keys, and a
// secret key.
#include <cstdint>
#include <string>

#include "package/signature.h"
#include "tests/fuzz/fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = fuzz_path("version");
  if (!write_fuzz_file(path, data, size)) return 0;
  if (auto keys = public_keys_read(path.c_str())) {
    // Each key takes a line of 64 digits at the least.
    if (keys->empty() || keys->size() * 64 > size) __builtin_trap();
  }
  if (secret_key_read(path.c_str()) && size < 128) __builtin_trap();
  return 0;
}
