// What a signature costs on a device built with trusted keys: validation of
// a signed 64 MiB package (the CRC pass with the digest riding on it, then
// the signature) against the same validation without keys (the CRC pass
// alone). libsodium without sodium_init, as the device runs it: its
// portable implementations. Medians of five runs of each, taking turns.
#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "package/signature.h"
#include "package/validate.h"

int main(int, char** argv) {
  std::filesystem::path dir = scratch_dir();
  std::string bin = std::filesystem::path(argv[0]).parent_path();
  random_file(dir / "rootfs", 64 << 20, 1);
  random_file(dir / "kernel", 4 << 20, 2);
  std::string pkg = dir / "fw.bpk2";
  std::string key = (dir / "bench").string();
  bool made =
      run_program(dir, {bin + "/velnor-pack", "create", pkg, "--kernel",
                        dir / "kernel", "--rootfs", dir / "rootfs"}) >= 0 &&
      run_program(dir, {bin + "/velnor-pack", "keygen", key}) >= 0 &&
      run_program(
          dir, {bin + "/velnor-pack", "sign", pkg, "--key", key + ".key"}) >= 0;
  std::optional<std::vector<PublicKey>> keys =
      public_keys_read((key + ".pub").c_str());
  if (!made || !keys) {
    std::fprintf(stderr, "signature_bench: cannot make the package\n");
    return 1;
  }
  SignatureHooks hooks = signature_hooks(keys->data(), keys->size());
  bool verified = true;
  auto check = [&](const SignatureHooks* signatures) {
    return [&, signatures] {
      PackagePtr p = bpk_open(pkg.c_str(), false);
      verified =
          verified && validate_package(p.get(), nullptr, signatures) == 0;
    };
  };
  std::vector<double> keyed, crc_only;
  for (int i = 0; i < 5; ++i) {
    keyed.push_back(best_seconds(1, check(&hooks)));
    crc_only.push_back(best_seconds(1, check(nullptr)));
  }
  std::filesystem::remove_all(dir);
  Spread a = spread_of(keyed), b = spread_of(crc_only);
  report("signature check",
         "keyed " + spread_text(a, milliseconds) + ", CRC pass " +
             spread_text(b, milliseconds) + ", 68 MiB",
         a.median / b.median, "shown, no target", verified);
  return verified ? 0 : 1;
}
