// The simulated device itself: paths, nodes, clock, events.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/os.h"
#include "sim/board.h"
#include "sim/kernel_state.h"
#include "sim/sim.h"
#include "tests/sim_device.h"

namespace fs = std::filesystem;

TEST(SimDevicePaths, AbsoluteLinksStayInsideTheDevice) {
  SimDevice device;
  device.put("/etc/real", "inside");
  fs::create_symlink("/etc/real", device.host("/tmp/link"));
  fs::create_symlink("../../../../../etc", device.host("/tmp/up"));
  int fd = os::open("/tmp/link", O_RDONLY);
  ASSERT_GE(fd, 0);
  char buf[16] = {};
  EXPECT_EQ(os::read(fd, buf, sizeof buf), 6);
  EXPECT_STREQ(buf, "inside");
  os::close(fd);
  // ".." stops at the device's root.
  EXPECT_EQ(os::access("/tmp/up/real", F_OK), 0);
  struct stat st;
  EXPECT_EQ(os::lstat("/tmp/link", &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  fs::create_symlink("/tmp/loop", device.host("/tmp/loop"));
  EXPECT_EQ(os::stat("/tmp/loop", &st), -1);
  EXPECT_EQ(errno, ELOOP);
}

TEST(SimDeviceNodes, MknodMakesANodeThatStatReportsAndOpenRoutes) {
  SimDevice device;
  mode_t old = ::umask(0);
  ASSERT_EQ(os::mknod("/dev/watchdog", S_IFCHR | 0666, makedev(10, 130)), 0);
  ASSERT_EQ(os::mknod("/dev/mmcblk0p1", S_IFBLK | 0666, makedev(179, 300)), 0);
  ::umask(old);
  struct stat st;
  ASSERT_EQ(os::stat("/dev/watchdog", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  EXPECT_EQ(major(st.st_rdev), 10u);
  EXPECT_EQ(minor(st.st_rdev), 130u);
  ASSERT_EQ(os::stat("/dev/mmcblk0p1", &st), 0);
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(minor(st.st_rdev), 300u);
  EXPECT_EQ(os::mknod("/dev/watchdog", S_IFCHR | 0666, makedev(10, 130)), -1);
  EXPECT_EQ(errno, EEXIST);
  // No driver behind this number on the bare board.
  EXPECT_EQ(os::open("/dev/mmcblk0p1", O_RDONLY), -1);
  EXPECT_EQ(errno, ENXIO);
  nlohmann::json nodes = device.show()["nodes"];
  nlohmann::json watchdog = {{"path", "/dev/watchdog"},
                             {"type", "char"},
                             {"major", 10},
                             {"minor", 130}};
  EXPECT_NE(std::find(nodes.begin(), nodes.end(), watchdog), nodes.end());
}

TEST(SimDeviceClock, SleepsCostDeviceTimeOnly) {
  SimDevice device;
  auto started = std::chrono::steady_clock::now();
  timespec ten{10, 0};
  EXPECT_EQ(os::nanosleep(&ten, nullptr), 0);
  timespec now;
  EXPECT_EQ(os::clock_gettime(CLOCK_MONOTONIC, &now), 0);
  EXPECT_EQ(now.tv_sec, 10);
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(1));
}

TEST(SimDeviceClock, TimeStandsStillWhileAnyProcessRuns) {
  SimDevice device;
  int ready[2];
  ASSERT_EQ(os::pipe(ready), 0);
  pid_t child = os::fork();
  if (child == 0) {
    // A busy child: the parent's long sleep cannot end until it stops.
    char c;
    (void)!::read(ready[0], &c, 1);
    os::exit(0);
  }
  ASSERT_GT(child, 0);
  auto started = std::chrono::steady_clock::now();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    (void)!::write(ready[1], "x", 1);
  });
  timespec hour{3600, 0};
  os::nanosleep(&hour, nullptr);
  releaser.join();
  EXPECT_GE(std::chrono::steady_clock::now() - started,
            std::chrono::milliseconds(100));
  int status;
  EXPECT_EQ(os::wait4(child, &status, 0, nullptr), child);
  EXPECT_EQ(sim::now_ns(), 3600ull * 1000000000);
  os::close(ready[0]);
  os::close(ready[1]);
}

TEST(SimDeviceEvents, UeventSocketSeesEventsPostedAfterItsBind) {
  SimDevice device;
  int fd = os::socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
  ASSERT_GE(fd, 0);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = ~0u;
  ASSERT_EQ(os::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address),
            0);
  char buf[512];
  EXPECT_EQ(os::recv(fd, buf, sizeof buf, MSG_DONTWAIT), -1);
  EXPECT_EQ(errno, EAGAIN);
  sim::schedule_event(5, "/sys/class/block/sda1", {{"dev", "8:1"}});
  // A blocking receive waits (in device time) for the event.
  ssize_t n = os::recv(fd, buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)),
            "add@/sys/class/block/sda1");
  EXPECT_EQ(sim::now_ns(), 5000000u);
  EXPECT_EQ(device.get("/sys/class/block/sda1/dev"), "8:1\n");
  EXPECT_EQ(os::close(fd), 0);
  EXPECT_EQ(os::socket(AF_INET, SOCK_STREAM, 0), -1);
}

TEST(SimDeviceProcesses, ChildrenRunOnTheSameDevice) {
  SimDevice device;
  device.put("/sbin/where", "#!/bin/sh\n[ -n \"$VELNOR_SIM_DIR\" ] && exit 9\n",
             0755);
  pid_t child = os::fork();
  if (child == 0) {
    char* const argv[] = {const_cast<char*>("/sbin/where"), nullptr};
    char* const envp[] = {nullptr};
    os::execve("/sbin/where", argv, envp);
    os::exit(255);
  }
  int status = 0;
  ASSERT_EQ(os::wait4(child, &status, 0, nullptr), child);
  EXPECT_EQ(WEXITSTATUS(status), 9);
  // Signals never leave the device's own processes.
  EXPECT_EQ(os::kill(-1, 0), -1);
  EXPECT_EQ(os::kill(0, 0), -1);
}

// Runs body in a child process of the device: whether it held.
template <typename Body>
bool in_child(Body&& body) {
  pid_t child = os::fork();
  if (child == 0) os::exit(body() ? 0 : 1);
  int status = -1;
  return os::wait4(child, &status, 0, nullptr) == child && status == 0;
}

// A mount another process makes or takes away is crossed, or no longer
// crossed, by this process's paths at once.
TEST(SimDeviceMounts, ChangesByAnotherProcessAreSeen) {
  SimDevice device;
  sim::medium_set(device.dir(), sim::Medium::mmc, {true, "ext3", 0});
  ASSERT_EQ(os::mknod("/dev/mmcblk0p1", S_IFBLK | 0600, makedev(179, 1)), 0);
  device.put("/mnt/mmc/under", "the mount point's own");
  struct stat st;
  ASSERT_EQ(os::stat("/mnt/mmc/under", &st), 0);
  ASSERT_TRUE(in_child([] {
    return os::mount("/dev/mmcblk0p1", "/mnt/mmc", "ext3", MS_RDONLY,
                     nullptr) == 0;
  }));
  EXPECT_EQ(os::stat("/mnt/mmc/under", &st), -1);
  ASSERT_TRUE(in_child([] { return os::umount2("/mnt/mmc", 0) == 0; }));
  EXPECT_EQ(os::stat("/mnt/mmc/under", &st), 0);
}

// A device is used only by the simulator that made it: one made by another
// version is refused, and said to be.
TEST(SimDeviceState, ADeviceOfAnotherVersionIsRefused) {
  struct Case {
    uint32_t version;
    bool attaches;
  };
  for (Case c :
       {Case{sim::kernel_version, true}, Case{sim::kernel_version - 1, false},
        Case{sim::kernel_version + 1, false}}) {
    SCOPED_TRACE(c.version);
    test_support::ScratchDir scratch;
    std::string dir = scratch.path().string();
    ASSERT_TRUE(sim::create_device(dir));
    std::string state = dir + "/state/kernel";
    {
      std::fstream f(state, std::ios::binary | std::ios::in | std::ios::out);
      f.seekp(offsetof(sim::KernelState, version));
      f.write(reinterpret_cast<const char*>(&c.version), sizeof c.version);
    }
    EXPECT_EQ(sim::attach(dir), c.attaches);
    EXPECT_EQ(sim::kernel_other_version(state.c_str()), !c.attaches);
    sim::detach();
  }
}
