#include "common/run_program.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/os.h"
#include "tests/sim_device.h"

namespace {

class RunProgram : public ::testing::Test {
 protected:
  void script(const std::string& path, const std::string& body) {
    device.put(path, "#!/bin/sh\n" + body + "\n", 0755);
  }
  SimDevice device;
};

}  // namespace

TEST_F(RunProgram, ReturnsTheExitStatus) {
  script("/sbin/three", "exit 3");
  script("/sbin/zero", "exit 0");
  const char* three[] = {"/sbin/three", nullptr};
  const char* zero[] = {"/sbin/zero", nullptr};
  EXPECT_EQ(run_program(three, nullptr), 3);
  EXPECT_EQ(run_program(zero, nullptr), 0);
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(RunProgram, PassesArgumentsAndAnEmptyEnvironment) {
  // The child's output goes to a file: it is another process.
  script("/sbin/echoargs",
         "echo \"$0 $1 $2\" > /dev/null; env | grep -v "
         "'^VELNOR_SIM\\|^PWD=\\|^SHLVL=\\|^_=\\|^LD_PRELOAD=\\|^VALGRIND' > "
         "\"$3\"; "
         "[ \"$1\" = a ] && [ \"$2\" = 'b c' ] && exit 7; exit 1");
  std::string out = device.host("/tmp/env");
  const char* argv[] = {"/sbin/echoargs", "a", "b c", out.c_str(), nullptr};
  const char* empty[] = {nullptr};
  EXPECT_EQ(run_program(argv, empty), 7);
  EXPECT_EQ(device.get("/tmp/env"), "");
  EXPECT_EQ(run_program(argv, nullptr), 7);
  EXPECT_EQ(device.get("/tmp/env"), "");
}

TEST_F(RunProgram, MissingProgramGives255WithoutAMessage) {
  const char* argv[] = {"/sbin/mke2fs", "/dev/mmcblk0p1", nullptr};
  EXPECT_EQ(run_program(argv, nullptr), 255);
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(RunProgram, DeathBySignalIsReported) {
  script("/sbin/modprobe", "kill -9 $$");
  const char* argv[] = {"/sbin/modprobe", "ubi", nullptr};
  EXPECT_EQ(run_program(argv, nullptr), -1);
  EXPECT_EQ(SimDevice::console(2), "/sbin/modprobe killed by signal\n");
}

TEST_F(RunProgram, WaitsOnlyForItsOwnChild) {
  // Another child (as the watchdog daemon is) that ends first must be left
  // for its owner to collect.
  pid_t other = os::fork();
  if (other == 0) os::exit(42);
  ASSERT_GT(other, 0);
  script("/sbin/slow", "sleep 0.2; exit 5");
  const char* argv[] = {"/sbin/slow", nullptr};
  EXPECT_EQ(run_program(argv, nullptr), 5);
  int status = 0;
  ASSERT_EQ(::waitpid(other, &status, 0), other);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 42);
}
