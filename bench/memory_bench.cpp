// Peak memory of an installation: velnor-sim install with a 256 MiB root
// file system image (on a NAND big enough for it) against one of 1 MiB.
// Nothing of an image may be held whole, so the two peaks must be close.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/bench.h"

namespace fs = std::filesystem;

namespace {

constexpr int runs = 5;

// The peaks of runs installations of a package whose rootfs image has size
// bytes, each onto a new device, in KiB; nullopt when one failed.
std::optional<Spread> install_peak(const std::string& bin, const fs::path& dir,
                                   size_t size, const char* nand) {
  fs::path pkg = dir / "fw.bpk2";
  random_file(dir / "rootfs.img", size, 1);
  random_file(dir / "kernel.img", 70000, 2);
  if (run_program(dir, {bin + "/velnor-pack", "create", "--force", pkg,
                        "--kernel", dir / "kernel.img", "--rootfs",
                        dir / "rootfs.img", "--version", "1.0.0.0"}) < 0)
    return std::nullopt;
  fs::remove(dir / "rootfs.img");
  std::vector<double> peaks;
  for (int i = 0; i < runs; ++i) {
    fs::path device = dir / ("device-" + std::to_string(size));
    if (run_program(dir, {bin + "/velnor-sim", "init", device, "--nand-size",
                          nand}) < 0)
      return std::nullopt;
    long peak = run_program(dir, {bin + "/velnor-sim", "install", device, pkg});
    fs::remove_all(device);
    if (peak < 0) return std::nullopt;
    peaks.push_back(static_cast<double>(peak));
  }
  fs::remove(pkg);
  return spread_of(peaks);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: memory_bench BIN_DIR\n");
    return 2;
  }
  fs::path dir = scratch_dir();
  std::optional<Spread> small = install_peak(argv[1], dir, 1 << 20, "128M");
  std::optional<Spread> large = install_peak(argv[1], dir, 256 << 20, "512M");
  fs::remove_all(dir);
  if (!small || !large) {
    std::printf("memory: an installation failed\n");
    return 1;
  }
  auto kib = [](double k) {
    return std::to_string(static_cast<long>(k)) + " KiB";
  };
  auto grew = static_cast<long>(large->median - small->median);
  return report("install peak memory",
                "256 MiB image " + spread_text(*large, kib) + ", 1 MiB image " +
                    spread_text(*small, kib) + ", " + std::to_string(runs) +
                    " runs: " + std::to_string(grew) + " KiB more",
                large->median / small->median, "at most 64 KiB more",
                grew <= 64)
             ? 0
             : 1;
}
