// Installation throughput as a firmware builder meets it: `velnor-sim
// install` of a package with a 64 MiB and a 256 MiB root file system image,
// against a floor of plain files in the same run: the package read twice
// (once to check the image's CRC, once to copy it), the image written once
// to a new file and read back once with its CRC, the CRCs being zlib's.
// Beside it, the same copy made over the copy before (as cp does): the
// file system then frees what the old copy held, which the floor does not
// pay. Medians of five runs of each, taking turns, each started with
// nothing left to write back.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t chunk = 128 << 10;

// Reads the file through, feeding zlib's CRC when asked; copies it to out
// when out is open.
uLong pass(const fs::path& path, bool crc, int out = -1) {
  int in = open(path.c_str(), O_RDONLY);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[chunk]);
  uLong c = 0;
  for (ssize_t n; (n = read(in, buffer.get(), chunk)) > 0;) {
    if (crc) c = crc32(c, buffer.get(), static_cast<uInt>(n));
    if (out >= 0 && write(out, buffer.get(), static_cast<size_t>(n)) != n)
      break;
  }
  close(in);
  return c;
}

// What any installation of the package must at least do, with plain files.
uLong floor_install(const fs::path& package, const fs::path& image) {
  uLong checked = pass(package, true);
  int out = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pass(package, false, out);
  close(out);
  return checked ^ pass(image, true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: install_bench BIN_DIR\n");
    return 2;
  }
  std::string bin = argv[1];
  fs::path dir = scratch_dir();
  bool met = true;
  for (size_t mib : {size_t{64}, size_t{256}}) {
    fs::path rootfs = dir / "rootfs.img", package = dir / "fw.bpk2";
    fs::path device = dir / "device";
    random_file(rootfs, mib << 20, 1);
    random_file(dir / "kernel.img", 4096, 2);
    fs::remove_all(device);
    if (run_program(dir, {bin + "/velnor-pack", "create", package.string(),
                          "--kernel", (dir / "kernel.img").string(), "--rootfs",
                          rootfs.string(), "--version", "1.0.0.0"}) < 0 ||
        run_program(dir, {bin + "/velnor-sim", "init", device.string(),
                          "--nand-size", std::to_string(4 * mib) + "M"}) < 0) {
      std::fprintf(stderr,
                   "install_bench: cannot make the package or device\n");
      return 1;
    }
    std::vector<double> installs, floors, over;
    bool failed = false;
    uLong sink = 0;
    fs::path copy = dir / "image.copy";
    for (int i = 0; i < 5; ++i) {
      // Each run starts with nothing left to write back: otherwise one
      // side's writeback of what it wrote lands in the other's time.
      ::sync();
      installs.push_back(best_seconds(1, [&] {
        failed |= run_program(dir, {bin + "/velnor-sim", "install",
                                    device.string(), package.string()}) < 0;
      }));
      ::sync();
      over.push_back(
          best_seconds(1, [&] { sink ^= floor_install(package, copy); }));
      fs::remove(copy);
      ::sync();
      floors.push_back(
          best_seconds(1, [&] { sink ^= floor_install(package, copy); }));
    }
    if (failed) {
      std::printf("install: the installation failed\n");
      return 1;
    }
    Spread install = spread_of(installs), floor = spread_of(floors);
    double ratio = install.median / floor.median;
    std::string figure = "install " + std::to_string(mib) + " MiB";
    met &= report(figure,
                  "velnor-sim install " + spread_text(install, milliseconds) +
                      ", plain files " + spread_text(floor, milliseconds) +
                      (sink == 1 ? " " : ""),
                  ratio, "<= 1.15 of the floor", ratio <= 1.15);
    Spread cp = spread_of(over);
    report(figure + ", as cp",
           "plain files over the last copy " + spread_text(cp, milliseconds),
           install.median / cp.median, "shown, no target", true);
  }
  fs::remove_all(dir);
  return met ? 0 : 1;
}
