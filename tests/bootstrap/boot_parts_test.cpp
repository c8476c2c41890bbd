// The boot sequence's parts, each on the simulated device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "bootstrap/boot_sequence.h"
#include "bootstrap/bootflag.h"
#include "bootstrap/leds.h"
#include "bootstrap/modules.h"
#include "bootstrap/mounts.h"
#include "common/os.h"
#include "sim/board.h"
#include "tests/sim_device.h"

namespace fs = std::filesystem;

namespace {

sim::DeviceOptions with_programs() {
  sim::DeviceOptions o;
  o.programs_dir = VELNOR_BIN;
  return o;
}

}  // namespace

TEST(TakeBootWord, RemovesEveryArgumentThatBeginsWithTheWord) {
  char a0[] = "/sbin/velnor-bootstrap", a1[] = "usbstick", a2[] = "keep",
       a3[] = "usb", a4[] = "rescue";
  char* argv[] = {a0, a1, a2, a3, a4};
  int count = 5;
  EXPECT_EQ(take_boot_word(&count, argv, "update"), 0);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(take_boot_word(&count, argv, "usb"), 2);
  ASSERT_EQ(count, 3);
  EXPECT_STREQ(argv[0], "/sbin/velnor-bootstrap");
  EXPECT_STREQ(argv[1], "keep");
  EXPECT_STREQ(argv[2], "rescue");
  // Element 0 is tested too.
  EXPECT_EQ(take_boot_word(&count, argv, "/sbin"), 1);
  EXPECT_STREQ(argv[0], "keep");
}

TEST(BootFlag, ReadsAndWritesTheRegister) {
  SimDevice device;
  ASSERT_TRUE(sim::bootflag_set(device.dir(), 0x55500000));
  uint16_t high = 1, low = 1;
  EXPECT_EQ(bootflag_read(&high, &low), 0);
  EXPECT_EQ(high, 0x5550);
  EXPECT_EQ(low, 0);
  EXPECT_EQ(bootflag_read(nullptr, nullptr), 0);
  EXPECT_EQ(bootflag_write(0x5245, 1), 0);
  EXPECT_EQ(sim::bootflag_get(device.dir()), 0x52450001u);
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST(BootFlag, ABoardWithoutTheRegister) {
  sim::DeviceOptions o;
  o.bootflag = false;
  SimDevice device(o);
  uint16_t high = 7;
  EXPECT_EQ(bootflag_read(&high, nullptr), -1);
  EXPECT_EQ(high, 7);
  EXPECT_EQ(bootflag_write(0, 0), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open /dev/mem: No such file or directory\n"
            "Failed to open /dev/mem: No such file or directory\n");
  // A /dev/mem node with no driver behind it: the open fails (a page that
  // cannot be mapped is an injected failure, injected_failures_test.cpp).
  ASSERT_EQ(os::mknod("/dev/mem", S_IFCHR | 0600, makedev(1, 1)), 0);
  sim::clear_console();
  EXPECT_EQ(bootflag_read(&high, nullptr), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open /dev/mem: No such device or address\n");
}

TEST(Leds, WritesTheAttributesInOrder) {
  SimDevice device;
  EXPECT_EQ(led_timer("pwr_green", 50, 0), 0);
  EXPECT_EQ(device.get("/sys/class/leds/pwr_green/brightness"), "255");
  EXPECT_EQ(device.get("/sys/class/leds/pwr_green/trigger"), "timer\n");
  EXPECT_EQ(device.get("/sys/class/leds/pwr_green/delay_on"), "50");
  EXPECT_EQ(device.get("/sys/class/leds/pwr_green/delay_off"), "0");
  EXPECT_EQ(led_off("pwr_green"), 0);
  EXPECT_EQ(device.get("/sys/class/leds/pwr_green/brightness"), "0");
  EXPECT_EQ(device.get("/sys/class/leds/pwr_green/trigger"), "none\n");
  EXPECT_FALSE(fs::exists(device.host("/sys/class/leds/pwr_green/delay_on")));
  EXPECT_EQ(led_heartbeat("err_red"), 0);
  EXPECT_EQ(device.get("/sys/class/leds/err_red/trigger"), "heartbeat\n");
  EXPECT_EQ(led_on("err_red"), 0);
  EXPECT_EQ(device.get("/sys/class/leds/err_red/trigger"), "default-on\n");
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST(Leds, AMissingLedStopsAtTheFirstAttribute) {
  SimDevice device;
  EXPECT_EQ(led_off("blue"), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to led_write on /sys/class/leds/blue/brightness with 0\n");
  sim::clear_console();
  // Without the timer trigger there is no delay attribute to write.
  fs::remove(device.host("/sys/class/leds/err_red/trigger"));
  EXPECT_EQ(led_timer("err_red", 20, 20), -1);
  EXPECT_EQ(
      SimDevice::console(2),
      "Failed to led_write on /sys/class/leds/err_red/trigger with timer\n\n");
}

TEST(FindInit, FromTheKernelCommandLine) {
  SimDevice device;
  auto with = [&](const std::string& cmdline) {
    device.put("/proc/cmdline", cmdline);
    sim::clear_console();
    return find_init();
  };
  EXPECT_EQ(with("console=ttyAMA0 quiet\n"), "/sbin/init");
  EXPECT_EQ(SimDevice::console(1), "");
  EXPECT_EQ(with("init=/bin/sh root=/dev/ram0\n"), "/bin/sh");
  EXPECT_EQ(SimDevice::console(1), "Using /bin/sh as init\n");
  EXPECT_EQ(with("init=\"/opt/my init\" x\n"), "/opt/my");
  // A whole parameter: not the end of a longer name; the first one wins.
  EXPECT_EQ(with("rdinit=/first init=/second init=/third\n"), "/second");
  EXPECT_EQ(with("rdinit=/first\n"), "/sbin/init");
  // The kernel splits its parameters at any white space.
  EXPECT_EQ(with("rdinit=/x\tinit=/y\n"), "/y");
  EXPECT_EQ(with("quiet\rinit=/z\tnext\n"), "/z");
  EXPECT_EQ(with("quiet init=\n"), "");
  EXPECT_EQ(SimDevice::console(1), "Using  as init\n");
  EXPECT_EQ(with("init=\"\"\n"), "");
  EXPECT_EQ(with(std::string(4096, 'x') + " init=/late\n"), "/sbin/init");
  fs::remove(device.host("/proc/cmdline"));
  EXPECT_EQ(find_init(), "/sbin/init");
}

TEST(LoadModules, RunsModprobe) {
  SimDevice device;
  device.put("/sbin/modprobe",
             "#!/bin/sh\n[ \"$1\" = bootstrap ] && exit 0\nexit 9\n", 0755);
  EXPECT_EQ(load_modules(), 0);
  fs::remove(device.host("/sbin/modprobe"));
  EXPECT_EQ(load_modules(), 255);
}

TEST(Mounts, VirtualFileSystemsAreMountedOnce) {
  SimDevice device;
  EXPECT_EQ(is_mount_point("/sys"), 0);
  EXPECT_EQ(mount_medium(MEDIUM_SYSFS, nullptr, 0, 0), 0);
  EXPECT_EQ(is_mount_point("/sys"), 1);
  EXPECT_EQ(medium_is_mounted(MEDIUM_SYSFS, "/sys"), 1);
  EXPECT_EQ(mount_medium(MEDIUM_SYSFS, nullptr, 0, 0), 0);
  EXPECT_EQ(mount_medium(MEDIUM_PROC, "/ignored", 0, 0), 0);
  EXPECT_EQ(SimDevice::console(1), "Mounting sysfs\nMounting proc\n");
  EXPECT_EQ(mount_medium(static_cast<MediumId>(4), "/mnt/x", 0, 0), -1);
  EXPECT_EQ(umount_medium(MEDIUM_SYSFS, "/sys"), -1);
  EXPECT_EQ(medium_is_mounted(static_cast<MediumId>(7), "/sys"), -1);
  EXPECT_EQ(is_mount_point(nullptr), 0);
}

TEST(Mounts, ACardIsMountedReadOnlyThenReadWrite) {
  SimDevice device;
  sim::medium_set(device.dir(), sim::Medium::mmc, {true, "ext3", 0});
  device.put("/sys/class/block/mmcblk0p1/dev", "179:1\n");
  EXPECT_EQ(mount_medium(MEDIUM_MMC, "/mnt/mmc", 3000, 0), 0);
  EXPECT_EQ(SimDevice::console(1), "Mounting /dev/mmcblk0p1\n");
  struct stat st;
  ASSERT_EQ(os::stat("/dev/mmcblk0p1", &st), 0);
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(is_mounted_at("/dev/mmcblk0p1", "/mnt/mmc"), 1);
  EXPECT_EQ(os::open("/mnt/mmc/new", O_WRONLY | O_CREAT, 0644), -1);
  EXPECT_EQ(errno, EROFS);
  // Mounted already: no line, and the read-write remount still happens.
  sim::clear_console();
  EXPECT_EQ(mount_medium(MEDIUM_MMC, "/mnt/mmc", 3000, MOUNT_RW), 0);
  EXPECT_EQ(SimDevice::console(1), "");
  int fd = os::open("/mnt/mmc/new", O_WRONLY | O_CREAT, 0644);
  EXPECT_GE(fd, 0);
  os::close(fd);
  EXPECT_TRUE(fs::exists(device.dir() + "/media/mmc/new"));
  EXPECT_EQ(umount_medium(MEDIUM_MMC, "/mnt/mmc"), 0);
  EXPECT_EQ(SimDevice::console(1), "Unmounting /dev/mmcblk0p1 partition\n");
  sim::clear_console();
  EXPECT_EQ(umount_medium(MEDIUM_MMC, "/mnt/mmc"), 0);  // not mounted: quiet
  EXPECT_EQ(SimDevice::console(1), "");
}

TEST(Mounts, MediumFailures) {
  SimDevice device;
  // Nothing there, no wait.
  EXPECT_EQ(mount_medium(MEDIUM_USB, "/mnt/usb", 0, 0), -2);
  // An unreadable "dev" attribute.
  device.put("/sys/class/block/sda1/dev", "junk\n");
  EXPECT_EQ(mount_medium(MEDIUM_USB, "/mnt/usb", 0, 0), -2);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to find /dev/sda1 partition\n"
            "Failed to parse major number in /sys/class/block/sda1/dev\n"
            "Failed to parse /sys/class/block/sda1/dev\n"
            "Failed to find /dev/sda1 partition\n");
  sim::clear_console();
  // A node that cannot be made.
  device.put("/sys/class/block/sda1/dev", "8:1\n");
  fs::remove_all(device.host("/dev"));
  EXPECT_EQ(mount_medium(MEDIUM_USB, "/mnt/usb", 0, 0), -2);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to create device /dev/sda1: No such file or directory\n"
            "Failed to find /dev/sda1 partition\n");
  sim::clear_console();
  // The node is there but no medium is in the slot.
  fs::create_directories(device.host("/dev"));
  EXPECT_EQ(mount_medium(MEDIUM_USB, "/mnt/usb", 0, 0), -3);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to mount /dev/sda1: No medium found\n");
}

TEST(Mounts, AnUnformattedCardIsFormattedOnlyWhenAsked) {
  SimDevice device(with_programs());
  // No card at all (-2): nothing to format.
  EXPECT_EQ(mount_medium(MEDIUM_MMC, "/mnt/mmc", 0, MOUNT_FORMAT), -2);
  EXPECT_EQ(SimDevice::console(2), "Failed to find /dev/mmcblk0p1 partition\n");
  sim::clear_console();
  sim::medium_set(device.dir(), sim::Medium::mmc, {true, "", 0});
  device.put("/sys/class/block/mmcblk0p1/dev", "179:1\n");
  EXPECT_EQ(mount_medium(MEDIUM_MMC, "/mnt/mmc", 0, 0), -3);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to mount /dev/mmcblk0p1: Invalid argument\n");
  sim::clear_console();
  EXPECT_EQ(mount_medium(MEDIUM_MMC, "/mnt/mmc", 0, MOUNT_FORMAT | MOUNT_RW),
            0);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to mount /dev/mmcblk0p1: Invalid argument\nFormatting "
            "/dev/mmcblk0p1\n");
  EXPECT_EQ(SimDevice::console(1),
            "Mounting /dev/mmcblk0p1\nMounting /dev/mmcblk0p1\n");
  EXPECT_EQ(sim::medium_get(device.dir(), sim::Medium::mmc).fstype, "ext3");
}

TEST(Mounts, RootFailures) {
  SimDevice device;
  EXPECT_EQ(mount_root(nullptr, "/root"), -1);
  MtdPartition partition;
  partition.block_device = "/dev/mtdblock4";
  partition.block_sysfs = "/sys/class/block/mtdblock4";
  EXPECT_EQ(mount_root(&partition, "/root"), -1);
  EXPECT_NE(SimDevice::console(2).find("Failed to find block device\n"),
            std::string::npos);
  sim::clear_console();
  device.put("/sys/class/block/mtdblock4/dev", "31:4\n");
  EXPECT_NE(mount_root(&partition, "/nowhere"), 0);
  EXPECT_EQ(
      SimDevice::console(2),
      "given path does not exist !!!/nowhere\n"
      "Failed to mount root (/dev/mtdblock4): No such file or directory\n");
}
