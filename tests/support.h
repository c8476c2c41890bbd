// Shared support of the tests that drive the project's programs as a
// firmware builder does: a scratch directory, firmware images and packages,
// and a simulated device driven through velnor-sim, its state read back as
// JSON.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/program_run.h"
#include "tests/scratch_dir.h"

namespace test_support {

namespace fs = std::filesystem;

// A test that runs the project's programs, as their users do, in a scratch
// directory of its own.
class ProgramTest : public ::testing::Test {
 protected:
  ProgramRun run(std::vector<std::string> args) {
    return run_program_in(scratch.path(), std::move(args));
  }

  ScratchDir scratch;
  fs::path dir = scratch.path();
};

// n pseudo-random bytes, the same for the same seed; a rootfs image starts
// as squashfs does, so that the simulated device can mount it.
inline std::string random_image(size_t n, unsigned seed,
                                const std::string& start = "") {
  std::mt19937 gen(seed);
  std::string s = start.substr(0, n);
  s.reserve(n);
  while (s.size() < n) s += static_cast<char>(gen());
  return s;
}

// A package made with velnor-pack in a scratch directory from images of the
// given sizes (NAME.rootfs, starting as squashfs does, and NAME.kernel beside
// it), with the version text (none when empty); returns its path.
inline std::string make_package(const ScratchDir& dir, const std::string& name,
                                size_t rootfs_size, size_t kernel_size,
                                unsigned seed = 1,
                                const std::string& version = "1.0.0.0") {
  std::string rootfs =
      dir.put(name + ".rootfs", random_image(rootfs_size, seed, "hsqs"));
  std::string kernel =
      dir.put(name + ".kernel", random_image(kernel_size, seed + 1));
  std::string pkg = dir / name;
  std::vector<std::string> args = {VELNOR_BIN "/velnor-pack",
                                   "create",
                                   "--force",
                                   pkg,
                                   "--kernel",
                                   kernel,
                                   "--rootfs",
                                   rootfs};
  if (!version.empty()) args.insert(args.end(), {"--version", version});
  ProgramRun r = run_program_in(dir.path(), args);
  EXPECT_EQ(r.status, 0) << r.err;
  return pkg;
}

// A simulated device in a scratch directory, driven through velnor-sim.
class SimBoard {
 public:
  SimBoard() : dev_(scratch_ / "device") {}

  const ScratchDir& scratch() const { return scratch_; }
  const std::string& dev() const { return dev_; }

  ProgramRun run(std::vector<std::string> args) const {
    return run_program_in(scratch_.path(), std::move(args), 120);
  }
  ProgramRun sim(const std::string& command,
                 std::vector<std::string> args = {}) const {
    args.insert(args.begin(), {VELNOR_BIN "/velnor-sim", command, dev_});
    return run(args);
  }
  // A command that must succeed.
  void must(const std::string& command, std::vector<std::string> args = {}) {
    ProgramRun r = sim(command, std::move(args));
    ASSERT_EQ(r.status, 0) << command << ": " << r.err;
  }

  nlohmann::json show() const { return nlohmann::json::parse(sim("show").out); }
  uint32_t flag() const { return show()["flag"].get<uint32_t>(); }
  // The CRC of each firmware volume's data ("name" -> "crc32"), the state
  // an installation must leave alone when it fails.
  std::map<std::string, std::string> volume_crcs() const {
    std::map<std::string, std::string> crcs;
    nlohmann::json state = show();
    for (const auto& v : state["volumes"]) {
      crcs[v["name"].get<std::string>()] = v.value("crc32", "");
    }
    return crcs;
  }

  // A package made with velnor-pack from images of the given sizes.
  std::string package(const std::string& name, size_t rootfs_size,
                      size_t kernel_size, unsigned seed = 1,
                      const std::string& version = "1.0.0.0") const {
    return make_package(scratch_, name, rootfs_size, kernel_size, seed,
                        version);
  }

  // A bootstrap built for the tests (NAME-sim beside velnor-sim) installed
  // as the device's program /sbin/NAME; its path on the device.
  std::string test_bootstrap(const std::string& name) const {
    std::string init = "/sbin/" + name;
    std::ofstream(dev_ + "/root" + init)
        << "#!/bin/sh\nexec $VELNOR_SIM_EMULATOR '" VELNOR_BIN "/" << name
        << "-sim' \"$@\"\n";
    std::filesystem::permissions(dev_ + "/root" + init,
                                 std::filesystem::perms(0755));
    return init;
  }

  // Each mode that installs a package: where it takes it from, the
  // register's request, and the line of its success.
  struct InstallMode {
    const char* medium;
    const char* name;
    const char* flag;
    const char* done;
  };
  static constexpr InstallMode install_modes[] = {
      {"card", "update.bpk2", "0x55500000", "Firmware updated\n"},
      {"usb", "update.bpk2", "0x55420000", "Firmware updated from USB\n"},
      {"card", "backup.bpk2", "0x52450000", "Firmware rescued\n"},
  };
  // Boots init over the firmware of installed, with pkg where the mode
  // takes it from (and an empty card beside a stick).
  ProgramRun boot_in_mode(const InstallMode& mode, const std::string& pkg,
                          const std::string& installed,
                          const std::string& init) {
    must("install", {installed});
    must("card", {"--remove"});
    must("usb", {"--remove"});
    if (std::string(mode.medium) == "usb") must("card", {});
    must(mode.medium, {pkg + "=" + mode.name});
    must("flag", {mode.flag});
    return sim("boot", {"--init", init});
  }

  // Where the files of the card ("mmc") or the stick ("usb") are kept.
  std::string medium(const std::string& which) const {
    return dev_ + "/media/" + which;
  }

 private:
  ScratchDir scratch_;
  std::string dev_;
};

}  // namespace test_support
