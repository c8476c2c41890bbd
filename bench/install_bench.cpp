// Installation throughput as a firmware builder meets it: `velnor-sim
// install` of a package with a 64 MiB and a 256 MiB root file system image,
// against a floor of plain files in the same run: the package read twice
// (once to check the image's CRC, once to copy it), the image written once
// to a new file and read back once with its CRC, the CRCs being zlib's.
// Beside it, the same copy made over the copy before (as cp does): the
// file system then frees what the old copy held, which the floor does not
// pay; the floor run as a program of its own, started as the installation
// is; and the floor made in the installation's own calls (its reads, its
// CRC calls, its writes), which the format and the volume dictate. Medians
// of five runs of each, taking turns, each started with nothing left to
// write back. And the installation of a 4 KiB image: what a run costs
// whatever its image.
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench.h"

namespace fs = std::filesystem;

namespace {

// How a floor reads, writes and feeds the CRC: plain files in 128 KiB
// calls, or the calls the installation itself makes (the package checked
// 64 KiB a read and 2048 bytes a CRC call, the image copied one erase block
// of the volume at a time, read back 4 KiB a read and a CRC call).
struct Calls {
  size_t check_read, check_crc, copy, read_back;
};
constexpr Calls plain_calls = {128 << 10, 128 << 10, 128 << 10, 128 << 10};
constexpr Calls installation_calls = {64 << 10, 2048, 129024, 4096};

// Reads the file through in reads of size bytes, feeding zlib's CRC crc
// bytes a call when crc is not 0; copies it to out when out is open.
uLong pass(const fs::path& path, size_t size, size_t crc, int out = -1) {
  int in = open(path.c_str(), O_RDONLY);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
  uLong c = 0;
  for (ssize_t n; (n = read(in, buffer.get(), size)) > 0;) {
    for (size_t at = 0; crc != 0 && at < static_cast<size_t>(n); at += crc) {
      c = crc32(c, buffer.get() + at,
                static_cast<uInt>(std::min(crc, static_cast<size_t>(n) - at)));
    }
    if (out >= 0 && write(out, buffer.get(), static_cast<size_t>(n)) != n)
      break;
  }
  close(in);
  return c;
}

// What any installation of the package must at least do, with plain files.
uLong floor_install(const fs::path& package, const fs::path& image,
                    const Calls& calls = plain_calls) {
  uLong checked = pass(package, calls.check_read, calls.check_crc);
  int out = open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pass(package, calls.copy, 0, out);
  close(out);
  return checked ^ pass(image, calls.read_back, calls.read_back);
}

// Where the floor's CRCs go, so that their work is kept.
volatile uLong floor_sink = 0;

// Medians of five runs of each side for a package with an image of this
// size.
struct Runs {
  Spread install, floor, over, own_calls, program;
  bool failed = false;
};

std::optional<Runs> measure(const std::string& bin, const fs::path& dir,
                            size_t bytes) {
  fs::path rootfs = dir / "rootfs.img", package = dir / "fw.bpk2";
  fs::path device = dir / "device";
  random_file(rootfs, bytes, 1);
  random_file(dir / "kernel.img", 4096, 2);
  fs::remove_all(device);
  size_t nand_mib = std::max<size_t>(16, 4 * (bytes >> 20));
  if (run_program(dir, {bin + "/velnor-pack", "create", package.string(),
                        "--kernel", (dir / "kernel.img").string(), "--rootfs",
                        rootfs.string(), "--version", "1.0.0.0"}) < 0 ||
      run_program(dir, {bin + "/velnor-sim", "init", device.string(),
                        "--nand-size", std::to_string(nand_mib) + "M"}) < 0) {
    std::fprintf(stderr, "install_bench: cannot make the package or device\n");
    return std::nullopt;
  }
  std::vector<double> installs, floors, over, own_calls, programs;
  Runs r;
  uLong sink = 0;
  fs::path copy = dir / "image.copy";
  for (int i = 0; i < 5; ++i) {
    // Each run starts with nothing left to write back: otherwise one
    // side's writeback of what it wrote lands in the other's time.
    ::sync();
    installs.push_back(best_seconds(1, [&] {
      r.failed |= run_program(dir, {bin + "/velnor-sim", "install",
                                    device.string(), package.string()}) < 0;
    }));
    ::sync();
    over.push_back(
        best_seconds(1, [&] { sink ^= floor_install(package, copy); }));
    fs::remove(copy);
    ::sync();
    floors.push_back(
        best_seconds(1, [&] { sink ^= floor_install(package, copy); }));
    fs::remove(copy);
    ::sync();
    own_calls.push_back(best_seconds(
        1, [&] { sink ^= floor_install(package, copy, installation_calls); }));
    fs::remove(copy);
    ::sync();
    programs.push_back(best_seconds(1, [&] {
      r.failed |= run_program(dir, {"/proc/self/exe", "--floor",
                                    package.string(), copy.string()}) < 0;
    }));
  }
  floor_sink = floor_sink ^ sink;
  r.install = spread_of(installs);
  r.floor = spread_of(floors);
  r.over = spread_of(over);
  r.own_calls = spread_of(own_calls);
  r.program = spread_of(programs);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  // The floor as a program of its own, started as the installation is.
  if (argc == 4 && std::string(argv[1]) == "--floor") {
    floor_sink = floor_install(argv[2], argv[3]);
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: install_bench BIN_DIR\n");
    return 2;
  }
  std::string bin = argv[1];
  fs::path dir = scratch_dir();
  bool met = true;
  std::optional<Runs> small = measure(bin, dir, 4096);
  if (!small) return 1;
  double floor_64 = 0;
  for (size_t mib : {size_t{64}, size_t{256}}) {
    std::optional<Runs> r = measure(bin, dir, mib << 20);
    if (!r) return 1;
    if (r->failed || small->failed) {
      std::printf("install: the installation failed\n");
      return 1;
    }
    if (mib == 64) floor_64 = r->floor.median;
    double ratio = r->install.median / r->floor.median;
    std::string figure = "install " + std::to_string(mib) + " MiB";
    met &=
        report(figure,
               "velnor-sim install " + spread_text(r->install, milliseconds) +
                   ", plain files " + spread_text(r->floor, milliseconds),
               ratio, "<= 1.15 of the floor", ratio <= 1.15);
    report(figure + ", program",
           "plain files as a program " + spread_text(r->program, milliseconds),
           r->install.median / r->program.median, "shown, no target", true);
    report(figure + ", its calls",
           "plain files in the installation's calls " +
               spread_text(r->own_calls, milliseconds),
           r->install.median / r->own_calls.median, "shown, no target", true);
    report(
        figure + ", as cp",
        "plain files over the last copy " + spread_text(r->over, milliseconds),
        r->install.median / r->over.median, "shown, no target", true);
  }
  // What a run costs whatever the image: starting the program and the
  // simulated kernel's bookkeeping, as a share of the 64 MiB floor.
  report("install fixed cost",
         "velnor-sim install of a 4 KiB image " +
             spread_text(small->install, milliseconds) +
             ", of the 64 MiB floor",
         small->install.median / floor_64, "shown, no target", true);
  fs::remove_all(dir);
  return met ? 0 : 1;
}
