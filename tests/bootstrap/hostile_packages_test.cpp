// Every package the fuzzers kept, through the builder's check and a whole
// installation on the simulated device: no crash, no hang, and nothing
// written to the flash for a package that is not sound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/program_run.h"
#include "tests/support.h"

namespace fs = std::filesystem;

TEST(HostilePackages, NoneCrashesOrTouchesTheFlash) {
  test_support::SimBoard board;
  const std::string& dev = board.dev();
  // A hang ends by SIGALRM.
  auto run = [&](std::vector<std::string> args) {
    return board.run(std::move(args)).status;
  };
  board.must("init");
  auto volumes = [&] {
    return board.show()["volumes"].dump() + slurp(dev + "/state/flash");
  };
  int sound = 0, refused = 0;
  // What the flash holds before each installation: what the last one left.
  std::string before = volumes();
  for (const char* corpus : {VELNOR_CORPUS "/bpk", VELNOR_CORPUS "/version"}) {
    for (const auto& entry : fs::directory_iterator(corpus)) {
      std::string pkg = entry.path().string();
      int verify = run({VELNOR_BIN "/velnor-pack", "verify", pkg});
      ASSERT_TRUE(verify == 0 || verify == 1) << pkg << ": " << verify;
      int install = run({VELNOR_BIN "/velnor-sim", "install", dev, pkg});
      ASSERT_TRUE(install == 0 || install == 1) << pkg << ": " << install;
      std::string after = volumes();
      if (verify != 0) {
        EXPECT_EQ(install, 1) << pkg;
        EXPECT_EQ(after, before) << pkg;
        ++refused;
      } else {
        ++sound;
      }
      before = after;
    }
  }
  EXPECT_GT(refused, 0);
  std::printf("corpus: %d sound packages installed, %d refused\n", sound,
              refused);
}
