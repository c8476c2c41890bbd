// Installation throughput on the simulated device: install_package with a
// 64 MiB root file system image against the I/O floor on the same device in
// the same run: the package read twice, the volume written once and read
// back once, with plain copies and no checks. The floor writes the volume
// one erase block per write and reads it back 4096 bytes per read, as the
// system must (those sizes are part of its definition); the package it
// reads in large blocks.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "common/os.h"
#include "common/unique_fd.h"
#include "flash/ubi.h"
#include "package/crc32.h"
#include "package/install.h"
#include "sim/sim.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t image_size = size_t{64} << 20;
constexpr size_t package_chunk = 128 << 10;
constexpr size_t readback_chunk = 4096;
const char package_path[] = "/mnt/mmc/update.bpk2";

// Reads a device file to its end in chunks of the given size.
void read_through(const char* path, size_t chunk) {
  unique_fd in(os::open(path, O_RDONLY));
  std::unique_ptr<char[]> buffer(new char[chunk]);
  while (os::read(in.get(), buffer.get(), chunk) > 0) {
  }
}

// The floor: what any installation must at least do, and nothing more.
void floor_copy() {
  read_through(package_path, package_chunk);
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  remove_known_volumes(info.get());
  UbiVolume* vol = ubi_volume_create(info.get(), "rootfs", image_size, 0);
  {
    unique_fd in(os::open(package_path, O_RDONLY));
    unique_fd out(ubi_volume_open_update(vol, image_size));
    auto leb = static_cast<size_t>(vol->usable_eb_size);
    std::unique_ptr<char[]> buffer(new char[leb]);
    for (size_t left = image_size; left > 0;) {
      size_t n = std::min(left, leb);
      if (os::read(in.get(), buffer.get(), n) <= 0) break;
      (void)!os::write(out.get(), buffer.get(), n);
      left -= n;
    }
  }
  read_through(vol->device.c_str(), readback_chunk);
  ubi_detach(info.get());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: install_bench BIN_DIR\n");
    return 2;
  }
  std::string bin = argv[1];
  fs::path dir = scratch_dir();
  random_file(dir / "rootfs.img", image_size, 1);
  random_file(dir / "kernel.img", 4096, 2);
  sim::create_device(dir / "device");
  fs::create_directories(dir / "device/root/mnt/mmc");
  if (run_program(
          dir, {bin + "/velnor-pack", "create",
                (dir / "device/root/mnt/mmc/update.bpk2").string(), "--kernel",
                (dir / "kernel.img").string(), "--rootfs",
                (dir / "rootfs.img").string(), "--version", "1.0.0.0"}) < 0) {
    std::fprintf(stderr, "install_bench: velnor-pack failed\n");
    return 1;
  }
  sim::attach(dir / "device");
  sim::capture_console(true);

  int failed = 0;
  if (getenv("ONLY_INSTALL")) {
    for (int i = 0; i < 10; ++i) {
      if (*getenv("ONLY_INSTALL") == 'f')
        floor_copy();
      else
        (void)install_package(package_path);
      sim::clear_console();
    }
    return 0;
  }
  double t_floor = best_seconds(3, [] {
    floor_copy();
    sim::clear_console();
  });
  double t_install = best_seconds(3, [&] {
    if (install_package(package_path) != 0) ++failed;
    sim::clear_console();
  });
  sim::detach();
  fs::remove_all(dir);
  if (failed) {
    std::printf("install: the installation failed\n");
    return 1;
  }
  // The two CRC passes the installation must make (the package's image
  // before anything is erased, the volume after it is written), timed alone
  // over the same amount of data: the part of the gap that is checking.
  std::vector<unsigned char> data(image_size, 0x5A);
  uint32_t sink = 0;
  double t_crc = best_seconds(3, [&] {
    for (int pass = 0; pass < 2; ++pass)
      sink ^= crc32_feed(data.data(), static_cast<long>(image_size), ~0u);
  });
  auto s = [](double t) {
    return std::to_string(static_cast<int>(t * 1000)) + " ms";
  };
  double ratio = t_install / t_floor;
  bool met =
      report("install throughput",
             "install_package " + s(t_install) + ", I/O floor " + s(t_floor) +
                 " (" + std::to_string(image_size >> 20) + " MiB rootfs)",
             ratio, "<= 1.25 of the floor", ratio <= 1.25);
  std::printf(
      "%-24s %s of the installation is its two CRC passes; without "
      "them, ratio %.2f%s\n",
      "", s(t_crc).c_str(), (t_install - t_crc) / t_floor,
      sink == 1 ? " " : "");
  return met ? 0 : 1;
}
