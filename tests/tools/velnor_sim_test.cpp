// velnor-sim as firmware builders run it: make a device, install a package
// made by velnor-pack, look at the result.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "tests/program_run.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

using Result = ProgramRun;

class VelnorSim : public test_support::ProgramTest {
 protected:
  // A package with a rootfs image of the given size; returns its path.
  std::string make_package(size_t rootfs_size) {
    return test_support::make_package(scratch, "fw.bpk2", rootfs_size, 70000);
  }
};

}  // namespace

TEST_F(VelnorSim, InstallsAPackageForAFirmwareBuilder) {
  std::string device = dir / "device";
  ASSERT_EQ(run({VELNOR_SIM, "init", device}).status, 0);
  std::string pkg = make_package(300000);
  Result install = run({VELNOR_SIM, "install", device, pkg});
  EXPECT_EQ(install.status, 0) << install.err;
  EXPECT_EQ(install.out, "Flashing \"rootfs\" ...\nFlashing \"kernel\" .\n");
  EXPECT_EQ(install.err, "Creating volume: rootfs\nCreating volume: kernel\n");
  nlohmann::json state =
      nlohmann::json::parse(run({VELNOR_SIM, "show", device}).out);
  EXPECT_EQ(state["schema"], 1);
  nlohmann::json rootfs = state["volumes"][0];
  EXPECT_EQ(rootfs["name"], "rootfs");
  EXPECT_EQ(rootfs["type"], "static");
  EXPECT_EQ(rootfs["data_bytes"], 300000);
  EXPECT_EQ(state["mtd"][0], (nlohmann::json{{"index", 0},
                                             {"name", "nand0.ubi"},
                                             {"type", "nand"},
                                             {"size", 134217728}}));
  // A package that fails validation: exit 1, flash as it was.
  std::string bytes = slurp(pkg);
  bytes[60] ^= 1;
  std::ofstream(dir / "bad.bpk2", std::ios::binary) << bytes;
  Result bad = run({VELNOR_SIM, "install", device, dir / "bad.bpk2"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "Failed to validate rootfs CRC\n");
  EXPECT_EQ(nlohmann::json::parse(run({VELNOR_SIM, "show", device}).out),
            state);
  EXPECT_EQ(run({VELNOR_SIM, "install", device, dir / "none.bpk2"}).status, 1);
  EXPECT_EQ(run({VELNOR_SIM, "install", dir / "nodevice", pkg}).status, 1);
  EXPECT_EQ(run({VELNOR_SIM, "frobnicate", device}).status, 2);
  // A device of another version of the simulator (the word after the
  // state's magic number): every command refuses it, and says why.
  {
    std::fstream kernel(device + "/state/kernel",
                        std::ios::binary | std::ios::in | std::ios::out);
    kernel.seekp(4);
    kernel.put('\x7f');
  }
  for (const char* command : {"show", "install", "boot", "card"}) {
    SCOPED_TRACE(command);
    Result old = command == std::string("install")
                     ? run({VELNOR_SIM, command, device, pkg})
                     : run({VELNOR_SIM, command, device});
    EXPECT_EQ(old.status, 1);
    EXPECT_EQ(old.err, "velnor-sim: " + device +
                           " holds a device of another version of velnor-sim: "
                           "make it again (velnor-sim init)\n");
  }
}

TEST_F(VelnorSim, InstallMemoryDoesNotGrowWithTheImage) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's own allocations swamp the measurement";
#endif
  auto peak = [&](size_t size, const std::string& nand) {
    std::string device = dir / ("device-" + std::to_string(size));
    EXPECT_EQ(run({VELNOR_SIM, "init", device, "--nand-size", nand}).status, 0);
    std::string pkg = make_package(size);
    Result install = run({VELNOR_SIM, "install", device, pkg});
    EXPECT_EQ(install.status, 0) << install.err;
    fs::remove(pkg);
    fs::remove_all(device);
    return install.max_rss_kb;
  };
  long small = peak(1 << 20, "128M");
  long large = peak(256 << 20, "512M");
  EXPECT_LT(large - small, 256) << small << " KiB vs " << large << " KiB";
}

TEST_F(VelnorSim, BootsAnotherProgramAsTheFirstProcess) {
  // A test tool in place of the bootstrap, with its arguments.
  std::string device = dir / "device";
  ASSERT_EQ(run({VELNOR_SIM, "init", device}).status, 0);
  fs::create_directories(device + "/root/usr/bin");
  std::string tool = device + "/root/usr/bin/tool";
  std::ofstream(tool) << "#!/bin/sh\necho \"started: $*\"\n";
  fs::permissions(tool, fs::perms(0755));
  Result r = run(
      {VELNOR_SIM, "boot", device, "--init", "/usr/bin/tool", "--", "a", "b"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "started: a b\n");
  // The first process ended by itself, which a real kernel answers with a
  // panic.
  nlohmann::json boot =
      nlohmann::json::parse(run({VELNOR_SIM, "show", device}).out)["boot"];
  EXPECT_EQ(boot["outcome"], "panic");
  EXPECT_EQ(boot["reason"], "exit status 0");
  Result missing = run({VELNOR_SIM, "boot", device, "--init", "/usr/bin/none"});
  EXPECT_NE(missing.err.find("cannot start /usr/bin/none"), std::string::npos);
}

// A dry run gates a pipeline: --expect's exit status, boot by boot.
TEST_F(VelnorSim, ExpectFailsABootThatEndsOtherwise) {
  std::string device = dir / "device";
  ASSERT_EQ(run({VELNOR_SIM, "init", device}).status, 0);
  ASSERT_EQ(
      run({VELNOR_SIM, "card", device, make_package(100000) + "=update.bpk2"})
          .status,
      0);
  ASSERT_EQ(run({VELNOR_SIM, "flag", device, "0x55500000"}).status, 0);
  struct Row {
    std::vector<std::string> options;
    int status;
    std::string err_end;
  } rows[] = {
      // The update installs and restarts.
      {{"--expect", "restart"}, 0, ""},
      {{"--expect", "restart", "--firmware-init", "hang"},
       3,
       "velnor-sim: the boot ended in watchdog (watchdog), expected restart\n"},
      {{"--expect", "restart,watchdog", "--firmware-init", "hang"}, 0, ""},
      {{"--expect", "switch_root", "--firmware-init", "exit"},
       3,
       "velnor-sim: the boot ended in panic (exit status 1), expected "
       "switch_root\n"},
      {{"--expect", "switched"}, 2, ""},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {VELNOR_SIM, "boot", device};
    args.insert(args.end(), row.options.begin(), row.options.end());
    Result r = run(args);
    EXPECT_EQ(r.status, row.status) << row.options[1] << ": " << r.err;
    EXPECT_TRUE(r.err.ends_with(row.err_end)) << r.err;
  }
}

// Every fault and setting a device holds shows in velnor-sim show.
TEST_F(VelnorSim, ShowReportsEveryFaultTheDeviceHolds) {
  std::string device = dir / "device";
  ASSERT_EQ(run({VELNOR_SIM, "init", device}).status, 0);
  std::string file = scratch.put("f", "data");
  struct Row {
    std::vector<std::string> command;  // after velnor-sim, DIR second
    const char* pointer;
    nlohmann::json value;
  };
  const Row rows[] = {
      {{"fault", "corrupt-writes", "on"}, "/flash_faults/corrupt_writes", true},
      {{"fault", "fail-writes", "on"}, "/flash_faults/fail_writes", true},
      {{"fault", "stall-writes", "on"}, "/flash_faults/stall_writes", true},
      {{"fault", "slow-writes", "250"}, "/flash_faults/write_delay_ms", 250},
      {{"fault", "slow-reads", "40"}, "/flash_faults/read_delay_ms", 40},
      {{"card", "--read-error-at", "4096", file},
       "/media/mmc/read_error_at",
       4096},
      {{"card", "--removed-after", "999", file},
       "/media/mmc/removed_after",
       999},
      {{"card", "--reread-differs-at", "7", file},
       "/media/mmc/reread_differs_at",
       7},
      {{"usb", "--late", "1500", file}, "/media/usb/late_ms", 1500},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = row.command;
    args.insert(args.begin() + 1, device);
    args.insert(args.begin(), VELNOR_SIM);
    ASSERT_EQ(run(args).status, 0) << row.pointer;
    nlohmann::json state =
        nlohmann::json::parse(run({VELNOR_SIM, "show", device}).out);
    EXPECT_EQ(state[nlohmann::json::json_pointer(row.pointer)], row.value)
        << row.pointer;
  }
}

// A dry run of a keyed device: velnor-sim boot --trusted-keys FILE boots
// the bootstrap of a device built with those keys.
TEST_F(VelnorSim, ADryRunOfAKeyedDevice) {
  std::string device = dir / "device";
  ASSERT_EQ(run({VELNOR_SIM, "init", device}).status, 0);
  ASSERT_EQ(run({VELNOR_PACK, "keygen", dir / "release"}).status, 0);
  std::string pkg = make_package(200000);
  struct Row {
    bool signed_package;
    const char* expect;
    const char* line;
  };
  const Row rows[] = {
      {false, "restart", "Failed to find signature partition\n"},
      {true, "restart", "Firmware updated\n"},
      {true, "switch_root", "Mounting root filesystem\n"},
  };
  for (const Row& row : rows) {
    if (row.signed_package) {
      ASSERT_EQ(
          run({VELNOR_PACK, "sign", pkg, "--key", dir / "release.key"}).status,
          0);
    }
    ASSERT_EQ(run({VELNOR_SIM, "card", device, pkg + "=update.bpk2"}).status,
              0);
    if (std::string(row.expect) == "restart") {
      ASSERT_EQ(run({VELNOR_SIM, "flag", device, "0x55500000"}).status, 0);
    }
    Result r = run({VELNOR_SIM, "boot", device, "--trusted-keys",
                    dir / "release.pub", "--expect", row.expect});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(row.line), std::string::npos)
        << r.out << r.err;
  }
  std::ofstream(dir / "none.pub") << "# no key\n";
  Result none =
      run({VELNOR_SIM, "boot", device, "--trusted-keys", dir / "none.pub"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "velnor-sim: " + (dir / "none.pub").string() +
                          " holds no public key\n");
}
