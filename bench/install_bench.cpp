// Installation throughput as a firmware builder meets it: `velnor-sim
// install` of a package with a 64 MiB and a 256 MiB root file system image,
// against a floor of plain files in the same run: the package read twice
// (once to check the image's CRC, once to copy it), the image written once
// to a new file and read back once with its CRC, the CRCs being zlib's.
// The floor is a program of its own (install_floor), linked and started as
// the installation is: on this kind of machine starting and ending a
// program costs a tenth to a sixth of the 64 MiB floor's work. Beside it:
// that floor's work done in this process; the same copy made over the copy
// before (as cp does: the file system then frees what the old copy held,
// which the floor does not pay); and the floor made in the installation's
// own calls (its reads, its CRC calls, its writes), which the format and
// the volume dictate. Medians of five runs of each, taking turns, each
// started with nothing left to write back and the package in the page
// cache. And the installation of a 4 KiB image: what a run costs whatever
// its image.
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
#include "bench/install_floor.h"

namespace fs = std::filesystem;

namespace {

// Where the floor's CRCs go, so that their work is kept.
volatile uLong floor_sink = 0;

// Medians of five runs of each side for a package with an image of this
// size.
struct Runs {
  Spread install, program, in_process, over, own_calls;
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
  if (run_program(dir,
                  {bin + "/velnor-pack", "create", "--force", package.string(),
                   "--kernel", (dir / "kernel.img").string(), "--rootfs",
                   rootfs.string(), "--version", "1.0.0.0"}) < 0 ||
      run_program(dir, {bin + "/velnor-sim", "init", device.string(),
                        "--nand-size", std::to_string(nand_mib) + "M"}) < 0) {
    std::fprintf(stderr, "install_bench: cannot make the package or device\n");
    return std::nullopt;
  }
  std::vector<double> installs, programs, in_process, over, own_calls;
  Runs r;
  uLong sink = 0;
  fs::path copy = dir / "image.copy";
  auto ready = [&] {
    ::sync();
    sink ^= pass(package, 1 << 20, 0);
  };
  for (int i = 0; i < 5; ++i) {
    // Each run starts with nothing left to write back (otherwise one
    // side's writeback of what it wrote lands in the other's time) and
    // the package in the page cache (hosts that reclaim memory they see
    // unused drop it within seconds: a run that reads it from the disk
    // took twice as long).
    ready();
    installs.push_back(best_seconds(1, [&] {
      r.failed |= run_program(dir, {bin + "/velnor-sim", "install",
                                    device.string(), package.string()}) < 0;
    }));
    ready();
    over.push_back(
        best_seconds(1, [&] { sink ^= floor_install(package, copy); }));
    fs::remove(copy);
    ready();
    in_process.push_back(
        best_seconds(1, [&] { sink ^= floor_install(package, copy); }));
    fs::remove(copy);
    ready();
    own_calls.push_back(best_seconds(
        1, [&] { sink ^= floor_install(package, copy, installation_calls); }));
    fs::remove(copy);
    ready();
    programs.push_back(best_seconds(1, [&] {
      r.failed |= run_program(dir, {bin + "/install_floor", package.string(),
                                    copy.string()}) < 0;
    }));
  }
  floor_sink = floor_sink ^ sink;
  r.install = spread_of(installs);
  r.in_process = spread_of(in_process);
  r.over = spread_of(over);
  r.own_calls = spread_of(own_calls);
  r.program = spread_of(programs);
  return r;
}

// What keeping the installed firmware costs: the same 64 MiB installation
// over installed firmware, written beside it and renamed into place (a
// 256 MiB chip) against written in its place once it is removed (a 96 MiB
// chip, with no room for both). Medians of five runs of each, taking turns.
std::optional<std::pair<Spread, Spread>> measure_paths(const std::string& bin,
                                                       const fs::path& dir) {
  fs::path package = dir / "fw.bpk2";
  random_file(dir / "rootfs.img", 64 << 20, 3);
  random_file(dir / "kernel.img", 4096, 4);
  bool made = run_program(dir, {bin + "/velnor-pack", "create", "--force",
                                package.string(), "--kernel",
                                (dir / "kernel.img").string(), "--rootfs",
                                (dir / "rootfs.img").string()}) >= 0;
  std::vector<std::string> devices;
  for (const char* size : {"256M", "96M"}) {
    fs::path device = dir / (std::string("device-") + size);
    fs::remove_all(device);
    made = made &&
           run_program(dir, {bin + "/velnor-sim", "init", device.string(),
                             "--nand-size", size}) >= 0 &&
           run_program(dir, {bin + "/velnor-sim", "install", device.string(),
                             package.string()}) >= 0;
    devices.push_back(device.string());
  }
  if (!made) {
    std::fprintf(stderr, "install_bench: cannot make the devices\n");
    return std::nullopt;
  }
  std::vector<double> beside, in_place;
  bool failed = false;
  for (int i = 0; i < 5; ++i) {
    for (size_t d = 0; d < devices.size(); ++d) {
      ::sync();
      (d == 0 ? beside : in_place).push_back(best_seconds(1, [&] {
        failed |= run_program(dir, {bin + "/velnor-sim", "install", devices[d],
                                    package.string()}) < 0;
      }));
    }
  }
  if (failed) return std::nullopt;
  return std::make_pair(spread_of(beside), spread_of(in_place));
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
    if (mib == 64) floor_64 = r->program.median;
    double ratio = r->install.median / r->program.median;
    std::string figure = "install " + std::to_string(mib) + " MiB";
    met &=
        report(figure,
               "velnor-sim install " + spread_text(r->install, milliseconds) +
                   ", plain files " + spread_text(r->program, milliseconds),
               ratio, "<= 1.15 of the floor", ratio <= 1.15);
    report(figure + ", in-process",
           "plain files in this process " +
               spread_text(r->in_process, milliseconds),
           r->install.median / r->in_process.median, "shown, no target", true);
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
  // simulated kernel's bookkeeping, as a share of the 64 MiB floor; beside
  // it the floor's program for the same image, which starts a program too.
  report("install fixed cost",
         "velnor-sim install of a 4 KiB image " +
             spread_text(small->install, milliseconds) + ", the floor " +
             spread_text(small->program, milliseconds) +
             ", of the 64 MiB floor",
         small->install.median / floor_64, "shown, no target", true);
  std::optional<std::pair<Spread, Spread>> paths = measure_paths(bin, dir);
  if (!paths) {
    std::printf("install: the installation failed\n");
    return 1;
  }
  report("install beside installed firmware, 64 MiB",
         "written beside it and renamed " +
             spread_text(paths->first, milliseconds) +
             ", written in its place " +
             spread_text(paths->second, milliseconds),
         paths->first.median / paths->second.median, "shown, no target", true);
  fs::remove_all(dir);
  return met ? 0 : 1;
}
