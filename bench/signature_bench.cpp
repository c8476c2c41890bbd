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
  bool made = run_program(dir, {bin + "/velnor-pack", "create", "--force", pkg,
                                "--kernel", dir / "kernel", "--rootfs",
                                dir / "rootfs"}) >= 0 &&
              run_program(dir, {bin + "/velnor-pack", "keygen", key}) >= 0 &&
              run_program(dir, {bin + "/velnor-pack", "sign", pkg, "--key",
                                key + ".key"}) >= 0;
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
  Spread a = spread_of(keyed), b = spread_of(crc_only);
  report("signature check",
         "keyed " + spread_text(a, milliseconds) + ", CRC pass " +
             spread_text(b, milliseconds) + ", 68 MiB",
         a.median / b.median, "shown, no target", verified);

  // A package of many small entries, as a card may carry: the keyed check
  // and `sign` walk the entries once, so their time grows with the number
  // of entries, not with its square. 18,720 is about the most a 1 MiB
  // signature entry lists.
  random_file(dir / "small", 1024, 3);
  bool linear = true;
  double first = 0;
  for (size_t entries : {size_t{1000}, size_t{8000}, size_t{18720}}) {
    std::string many = dir / ("many-" + std::to_string(entries) + ".bpk2");
    std::vector<std::string> create = {
        bin + "/velnor-pack", "create",       "--force",  many,
        "--kernel",           dir / "kernel", "--rootfs", dir / "small"};
    for (size_t i = 0; i < entries; ++i) {
      create.push_back("--add");
      create.push_back("0x41000000:" + std::to_string(i) + "=" +
                       (dir / "small").string());
    }
    std::vector<double> checks, signs;
    bool ok = run_program(dir, create) >= 0;
    for (int i = 0; i < 5 && ok; ++i) {
      signs.push_back(best_seconds(1, [&] {
        ok = ok && run_program(dir, {bin + "/velnor-pack", "sign", many,
                                     "--key", key + ".key"}) >= 0;
      }));
      checks.push_back(best_seconds(1, [&] {
        PackagePtr p = bpk_open(many.c_str(), false);
        ok = ok && validate_package(p.get(), nullptr, &hooks) == 0;
      }));
    }
    if (!ok) {
      std::fprintf(stderr, "signature_bench: %zu entries failed\n", entries);
      verified = false;
      break;
    }
    Spread check = spread_of(checks), sign = spread_of(signs);
    if (first == 0) first = check.median;
    // Linear within a factor of two of the entry count's ratio.
    double ratio = check.median / first;
    linear &= ratio <= 2.0 * static_cast<double>(entries) / 1000;
    report("keyed check, " + std::to_string(entries) + " entries",
           "check " + spread_text(check, milliseconds) + ", sign " +
               spread_text(sign, milliseconds) + ", against 1000 entries",
           ratio, "<= 2x the entries' ratio", linear);
  }
  std::filesystem::remove_all(dir);
  return verified && linear ? 0 : 1;
}
