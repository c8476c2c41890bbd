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

namespace fs = std::filesystem;

namespace {

using Result = ProgramRun;

class VelnorSim : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl =
        (fs::temp_directory_path() / "velnor-sim-XXXXXX").string();
    dir = ::mkdtemp(tmpl.data());
  }
  void TearDown() override { fs::remove_all(dir); }

  Result run(std::vector<std::string> args) {
    return run_program_in(dir, args);
  }

  std::string put_random(const std::string& name, size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::ofstream f(dir / name, std::ios::binary);
    std::vector<uint32_t> chunk(1 << 18);
    for (size_t done = 0; done < n;) {
      for (uint32_t& w : chunk) w = gen();
      size_t len = std::min(chunk.size() * 4, n - done);
      f.write(reinterpret_cast<const char*>(chunk.data()),
              static_cast<std::streamsize>(len));
      done += len;
    }
    return dir / name;
  }

  // A package with a rootfs image of the given size; returns its path.
  std::string make_package(size_t rootfs_size) {
    std::string pkg = dir / "fw.bpk2";
    Result r = run({VELNOR_PACK, "create", pkg, "--kernel",
                    put_random("k", 70000, 1), "--rootfs",
                    put_random("r", rootfs_size, 2), "--version", "1.0.0.1"});
    EXPECT_EQ(r.status, 0) << r.err;
    return pkg;
  }

  fs::path dir;
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
  Result show = run({VELNOR_SIM, "show", device});
  EXPECT_NE(
      show.out.find("{\"name\": \"rootfs\", \"id\": 0, \"type\": \"static\", "
                    "\"data_bytes\": 300000"),
      std::string::npos)
      << show.out;
  EXPECT_NE(show.out.find(
                "{\"index\": 0, \"name\": \"nand0.ubi\", \"type\": \"nand\", "
                "\"size\": 134217728}"),
            std::string::npos);
  // A package that fails validation: exit 1, flash as it was.
  std::string bytes = slurp(pkg);
  bytes[60] ^= 1;
  std::ofstream(dir / "bad.bpk2", std::ios::binary) << bytes;
  Result bad = run({VELNOR_SIM, "install", device, dir / "bad.bpk2"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "Failed to validate rootfs CRC\n");
  EXPECT_EQ(run({VELNOR_SIM, "show", device}).out, show.out);
  EXPECT_EQ(run({VELNOR_SIM, "install", device, dir / "none.bpk2"}).status, 1);
  EXPECT_EQ(run({VELNOR_SIM, "install", dir / "nodevice", pkg}).status, 1);
  EXPECT_EQ(run({VELNOR_SIM, "frobnicate", device}).status, 2);
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
  EXPECT_NE(
      run({VELNOR_SIM, "show", device})
          .out.find("\"outcome\": \"panic\", \"reason\": \"exit status 0\""),
      std::string::npos);
  Result missing = run({VELNOR_SIM, "boot", device, "--init", "/usr/bin/none"});
  EXPECT_NE(missing.err.find("cannot start /usr/bin/none"), std::string::npos);
}
