// Arbitrary bytes as a signature entry's data, and as a package checked the
// way a keyed device with a version floor checks it (tests/keys/trusted.pub,
// floor 1.0.0.0): the walk over the entries, each signature entry and its
// manifest, the signed version.
#include <cstdint>
#include <string>

#include "package/bpk.h"
#include "package/signature.h"
#include "package/validate.h"
#include "tests/fuzz/fuzz_file.h"

const SignatureHooks* trusted_signatures();

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (std::optional<SignatureEntry> entry = signature_entry_parse(bytes)) {
    // What parses is one manifest as stored, then the signature.
    if (manifest_bytes(entry->manifest) != entry->signed_bytes) {
      __builtin_trap();
    }
  }
  const std::string& path = fuzz_path("pkg");
  if (!write_fuzz_file(path, data, size)) return 0;
  PackagePtr package = bpk_open(path.c_str(), false);
  if (!package) return 0;
  ValidatedPackage images;
  validate_package(package.get(), &images, trusted_signatures());
  return 0;
}
