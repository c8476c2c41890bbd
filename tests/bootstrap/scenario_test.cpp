// Whole boots of the real programs on velnor-sim, as a firmware builder
// would run them: the console of each boot and the device afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/program_run.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

struct Result {
  int status;
  std::string out;  // the bootstrap's lines; the daemon's are taken out
  std::string err;
  int daemon_lines;
};

// The watchdog daemon's lines interleave with the bootstrap's at moments
// that depend on scheduling (even inside a progress line): they are
// counted, not placed.
std::string without_daemon(std::string text, int* count) {
  for (const char* line :
       {"Starting watchdog process\n", "Stopping watchdog process\n",
        "Watchdog pipe closed\n"}) {
    for (size_t at; (at = text.find(line)) != std::string::npos;) {
      text.erase(at, std::strlen(line));
      ++*count;
    }
  }
  return text;
}

nlohmann::json js(const char* text) { return nlohmann::json::parse(text); }

class Board : public ::testing::Test {
 protected:
  Result run(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), program);
    ProgramRun p = board.run(args);
    Result r{p.status, "", "", 0};
    r.out = without_daemon(p.out, &r.daemon_lines);
    r.err = without_daemon(p.err, &r.daemon_lines);
    return r;
  }
  Result sim(std::vector<std::string> args) {
    return run(VELNOR_BIN "/velnor-sim", args);
  }

  void init(std::vector<std::string> options = {}) {
    options.insert(options.begin(), {"init", dev});
    ASSERT_EQ(sim(options).status, 0);
  }
  Result boot(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"boot", dev});
    Result r = sim(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return r;
  }
  // The device's state, read back typed.
  nlohmann::json field(const std::string& name) { return board.show()[name]; }
  uint32_t flag() { return field("flag").get<uint32_t>(); }
  // How the last boot ended: "restart: reboot", "switch_root: ", ...
  std::string ended() {
    nlohmann::json boot = field("boot");
    if (!boot.is_object()) return "";
    return boot["outcome"].get<std::string>() + ": " +
           boot["reason"].get<std::string>();
  }
  bool switched_root() { return ended().starts_with("switch_root"); }
  uint64_t watchdog_fired_ns() {
    return field("watchdog")["fired_at_ns"].get<uint64_t>();
  }
  void set_flag(uint32_t value) {
    ASSERT_EQ(sim({"flag", dev, std::to_string(value)}).status, 0);
  }

  std::string package(const std::string& name, const std::string& version,
                      size_t rootfs_size = 200000, unsigned seed = 1) {
    return board.package(name, rootfs_size, 50000, seed, version);
  }
  void card(std::vector<std::string> args) {
    args.insert(args.begin(), {"card", dev});
    ASSERT_EQ(sim(args).status, 0);
  }
  void usb(std::vector<std::string> args) {
    args.insert(args.begin(), {"usb", dev});
    ASSERT_EQ(sim(args).status, 0);
  }
  // A device with firmware installed from pkg.
  void installed(const std::string& pkg) {
    Result r = sim({"install", dev, pkg});
    ASSERT_EQ(r.status, 0) << r.err;
  }
  std::string rootfs_crc() {
    for (const nlohmann::json& v : field("volumes")) {
      if (v["name"] == "rootfs") return v["crc32"];
    }
    return "";
  }
  void put_program(const std::string& path, const std::string& script) {
    fs::path p = dev + "/root" + path;
    std::ofstream(p, std::ios::trunc) << script;
    fs::permissions(p, fs::perms(0755));
  }

  test_support::SimBoard board;
  const test_support::ScratchDir& scratch = board.scratch();
  fs::path work = scratch.path();
  const std::string& dev = board.dev();
};

const std::string early =
    "Velnor bootstrap 1.0.0\nMounting sysfs\nResetting watchdog\nMounting "
    "proc\n";

}  // namespace

TEST_F(Board, TheTracedNormalBoot) {
  init();
  installed(package("fw.bpk2", "1.0.0.0"));
  Result r = boot({"--", "quiet=1", "single"});
  EXPECT_EQ(r.out, early +
                       "Checking rootfs/kernel volumes\nResetting watchdog\n"
                       "Loading modules\nMounting root filesystem\n");
  EXPECT_EQ(r.err, "");
  // Started and stopped (and, when the close beats the signal, "Watchdog
  // pipe closed").
  EXPECT_GE(r.daemon_lines, 2);
  EXPECT_EQ(field("boot"), js(R"({"outcome": "switch_root", "reason": "",
      "argv": ["/sbin/switch_root", "/root", "/sbin/init", "quiet=1", "single"],
      "env": []})"));
  nlohmann::json root;
  for (const nlohmann::json& m : field("mounts"))
    if (m["target"] == "/root") root = m;
  EXPECT_EQ(root["source"], "/dev/mtdblock1");
  EXPECT_EQ(root["fstype"], "squashfs");
  EXPECT_EQ(root["readonly"], true);
  EXPECT_EQ(field("leds"), js(R"({
      "err_red": {"brightness": "0", "trigger": "none"},
      "pwr_green": {"brightness": "255", "trigger": "timer",
                    "delay_on": "50", "delay_off": "50"}})"));
  // The watchdog was left armed for the new system to feed.
  EXPECT_EQ(field("watchdog")["armed"], true);
}

TEST_F(Board, InitChosenOnTheKernelCommandLine) {
  init();
  installed(package("fw.bpk2", "1.0.0.0"));
  Result r =
      boot({"--cmdline", "console=ttyAMA0 init=/bin/custom root=/dev/ram0"});
  EXPECT_NE(r.out.find("Loading modules\nUsing /bin/custom as init\nMounting "
                       "root filesystem\n"),
            std::string::npos);
  EXPECT_EQ(field("boot")["argv"],
            js(R"(["/sbin/switch_root", "/root", "/bin/custom"])"));
  // The last parameter's value ends at the line feed the kernel puts there.
  boot({"--cmdline", "console=ttyAMA0 init=/sbin/last"});
  EXPECT_EQ(field("boot")["argv"][2], "/sbin/last");
}

TEST_F(Board, UpdateByFlagThenNormalBootIntoTheNewFirmware) {
  init();
  std::string pkg = package("fw.bpk2", "2.0.0.0");
  card({pkg + "=update.bpk2"});
  set_flag(0x55500000);
  Result r = boot();
  EXPECT_EQ(
      r.out,
      early +
          "Update flag found\nResetting watchdog\nMounting /dev/mmcblk0p1\n"
          "Flashing \"rootfs\" ..\nFlashing \"kernel\" .\nFirmware updated\n");
  EXPECT_EQ(r.err, "Creating volume: rootfs\nCreating volume: kernel\n");
  EXPECT_EQ(flag(), 0u);
  EXPECT_EQ(ended(), "restart: reboot");
  // Update mode: the green LED blinks fast, the red one is off.
  EXPECT_EQ(field("leds"), js(R"({
      "err_red": {"brightness": "0", "trigger": "none"},
      "pwr_green": {"brightness": "255", "trigger": "timer",
                    "delay_on": "20", "delay_off": "20"}})"));
  std::string crc = rootfs_crc();
  r = boot();
  EXPECT_TRUE(switched_root());
  EXPECT_EQ(rootfs_crc(), crc);
}

TEST_F(Board, UpdateByWordFromThePackagesDirectory) {
  init();
  card({package("fw.bpk2", "2.0.0.0") + "=packages/update.bpk2"});
  Result r = boot({"--", "update"});
  EXPECT_NE(r.out.find("Update flag found"), std::string::npos);
  EXPECT_NE(r.out.find("Firmware updated\n"), std::string::npos);
  EXPECT_EQ(r.err,
            "Failed to open bpk file: /mnt/mmc/update.bpk2\n"
            "Creating volume: rootfs\nCreating volume: kernel\n");
  EXPECT_EQ(flag(), 0u);
}

TEST_F(Board, AFailedUpdateLeavesTheFlagForTheNextBoot) {
  init();
  card({});  // a card without packages
  set_flag(0x55500000);
  Result r = boot();
  EXPECT_NE(r.out.find("Mounting /dev/mmcblk0p1\nUpdate failed\n"),
            std::string::npos);
  EXPECT_EQ(r.err,
            "Failed to open bpk file: /mnt/mmc/update.bpk2\n"
            "Failed to open bpk file: /mnt/mmc/packages/update.bpk2\n");
  EXPECT_EQ(flag(), 0x55500000u);
  // The next boot tries again, and this time the package is there.
  card({package("fw.bpk2", "2.0.0.0") + "=update.bpk2"});
  r = boot();
  EXPECT_NE(r.out.find("Firmware updated\n"), std::string::npos);
  EXPECT_EQ(flag(), 0u);
}

TEST_F(Board, UpdateWithoutACard) {
  init();
  set_flag(0x55500000);
  Result r = boot();
  EXPECT_NE(
      r.out.find(
          "Update flag found\nResetting watchdog\nFailed to initialize MMC\n"),
      std::string::npos);
  EXPECT_EQ(r.err, "Failed to find /dev/mmcblk0p1 partition\n");
  EXPECT_EQ(flag(), 0x55500000u);
  // It waited the card's 3 seconds, then 2 before the restart.
  EXPECT_EQ(field("clock_ns"), 5000000000u);
}

TEST_F(Board, ALateCardIsWaitedFor) {
  init();
  card({"--late", "1500", package("fw.bpk2", "2.0.0.0") + "=update.bpk2"});
  Result r = boot({"--", "update"});
  EXPECT_NE(r.out.find("Firmware updated\n"), std::string::npos) << r.err;
}

TEST_F(Board, Rescue) {
  init();
  card({package("backup.bpk2", "1.0.0.0")});
  set_flag(0x52450000);
  Result r = boot();
  EXPECT_EQ(r.out,
            early +
                "Resetting watchdog\nStarting system recovery procedure\n"
                "Mounting /dev/mmcblk0p1\nRescue firmware found\n"
                "Flashing \"rootfs\" ..\nFlashing \"kernel\" .\n"
                "Unmounting /dev/mmcblk0p1 partition\nFirmware rescued\n");
  EXPECT_EQ(flag(), 0u);
  EXPECT_EQ(field("leds"), js(R"({
      "err_red": {"brightness": "255", "trigger": "timer",
                  "delay_on": "20", "delay_off": "20"},
      "pwr_green": {"brightness": "0", "trigger": "none"}})"));
}

TEST_F(Board, RescueWithoutABackup) {
  init();
  card({});
  Result r = boot({"--", "rescue"});
  EXPECT_EQ(r.err, "Failed to find rescue FW\n");
  EXPECT_EQ(flag(), 0u);  // rescue mode writes nothing on failure
}

TEST_F(Board, UsbUpdateOntoAnUnformattedCard) {
  init();
  card({"--unformatted"});
  std::string pkg = package("fw.bpk2", "3.0.0.0");
  usb({pkg + "=update.bpk2"});
  Result r = boot({"--", "usbstick"});
  EXPECT_EQ(
      r.out,
      early +
          "Resetting watchdog\nMounting /dev/mmcblk0p1\nMounting "
          "/dev/sda1\nMounting /dev/mmcblk0p1\n"
          "Flashing \"rootfs\" ..\nFlashing \"kernel\" .\n"
          "Unmounting /dev/sda1 partition\n"
          "Unmounting /dev/mmcblk0p1 partition\nFirmware updated from USB\n");
  EXPECT_EQ(r.err,
            "Failed to mount /dev/mmcblk0p1: Invalid argument\n"
            "Formatting /dev/mmcblk0p1\n"
            "Creating volume: rootfs\nCreating volume: kernel\n");
  EXPECT_EQ(flag(), 0xB0020000u);
  EXPECT_EQ(field("mke2fs"), js(R"(["-t", "ext3", "-j", "-O",
                                    "has_journal", "-v", "/dev/mmcblk0p1"])"));
  EXPECT_EQ(field("media")["mmc"]["present"], true);
  EXPECT_EQ(field("media")["mmc"]["fstype"], "ext3");
  EXPECT_EQ(slurp(dev + "/media/mmc/update.bpk2"), slurp(pkg));
  // 0xB002 asks for nothing: the next boot is normal.
  r = boot();
  EXPECT_TRUE(switched_root());
  // The copy stays on the card: a later update installs it, stick or not.
  usb({"--remove"});
  set_flag(0x55500000);
  r = boot();
  EXPECT_NE(r.out.find("Firmware updated\n"), std::string::npos) << r.err;
}

TEST_F(Board, UsbFailures) {
  init();
  card({});
  usb({});
  set_flag(0x55420000);
  Result r = boot();
  EXPECT_EQ(r.err, "File not found: /mnt/usb/update.bpk2\n");
  EXPECT_NE(r.out.find("Unmounting /dev/sda1 partition\nUnmounting "
                       "/dev/mmcblk0p1 partition\n"),
            std::string::npos);
  EXPECT_EQ(flag(), 0x55420000u);

  usb({"--remove"});
  r = boot();
  EXPECT_EQ(r.err,
            "Failed to find /dev/sda1 partition\nFailed to mount USB device\n");

  // A card without a file system is not formatted before a stick is found,
  card({"--unformatted"});
  put_program("/sbin/mke2fs", "#!/bin/sh\nexit 1\n");
  r = boot();
  EXPECT_EQ(r.err,
            "Failed to mount /dev/mmcblk0p1: Invalid argument\n"
            "Failed to find /dev/sda1 partition\nFailed to mount USB device\n");
  // nor before the stick's package is found,
  usb({});
  r = boot();
  EXPECT_EQ(r.err,
            "Failed to mount /dev/mmcblk0p1: Invalid argument\n"
            "File not found: /mnt/usb/update.bpk2\n");
  EXPECT_EQ(field("mke2fs"), nullptr);
  // and one that cannot be formatted fails the update.
  usb({package("fw.bpk2", "3.0.0.0") + "=update.bpk2"});
  r = boot();
  EXPECT_EQ(r.err,
            "Failed to mount /dev/mmcblk0p1: Invalid argument\n"
            "Formatting /dev/mmcblk0p1\nFailed to mount MMC rw\n");
}

TEST_F(Board, AMissingVolumeFallsBackOnTheRescue) {
  init();
  card({package("backup.bpk2", "1.0.0.0")});
  Result r = boot();
  EXPECT_EQ(r.err,
            "No \"kernel\" volume available\nCreating volume: rootfs\n"
            "Creating volume: kernel\n");
  EXPECT_NE(
      r.out.find("Resetting watchdog\nStarting system recovery procedure\n"),
      std::string::npos);
  EXPECT_EQ(flag(), 0u);  // nothing written after a successful rescue
  r = boot();
  EXPECT_TRUE(switched_root());
}

TEST_F(Board, AFailedFallbackRescueSetsTheRescueFlag) {
  init();
  Result r = boot();
  EXPECT_EQ(r.err,
            "No \"kernel\" volume available\n"
            "Failed to find /dev/mmcblk0p1 partition\n"
            "Failed to mount MMC\nFailed to find rescue FW\n");
  EXPECT_EQ(flag(), 0x52450001u);
  // The next boot starts in rescue mode, and a card with a backup helps.
  card({package("backup.bpk2", "1.0.0.0")});
  r = boot();
  EXPECT_NE(r.out.find("Firmware rescued\n"), std::string::npos);
  EXPECT_EQ(flag(), 0u);
}

TEST_F(Board, ACorruptedRootfsFallsBackOnTheRescue) {
  init();
  installed(package("fw.bpk2", "1.0.0.0"));
  // An update that was cut short leaves its marker.
  nlohmann::json state = nlohmann::json::parse(slurp(dev + "/state/flash"));
  for (nlohmann::json& v : state["partitions"][0]["volumes"]) {
    if (v["name"] == "rootfs") v["upd_marker"] = true;
  }
  std::ofstream(dev + "/state/flash", std::ios::trunc) << state.dump();
  Result r = boot();
  EXPECT_EQ(r.err.rfind("Corrupted \"rootfs\" volume\n", 0), 0u) << r.err;
  EXPECT_EQ(flag(), 0x52450001u);
}

TEST_F(Board, UbiThatCannotBeAttachedRestartsAtOnce) {
  init();
  installed(package("fw.bpk2", "1.0.0.0"));
  std::string before = rootfs_crc();
  // A passing failure (the control node cannot be opened): a restart at
  // once, the daemon left running, nothing written.
  Result r = boot({"--fail", "open:/dev/ubi_ctrl:1:24"});
  EXPECT_EQ(r.out, early +
                       "Checking rootfs/kernel volumes\nResetting watchdog\n"
                       "Failed to load ubi information\n");
  EXPECT_EQ(r.daemon_lines, 1);  // started, never stopped
  EXPECT_EQ(ended(), "restart: reboot");
  EXPECT_EQ(rootfs_crc(), before);
  // A restart the kernel refuses: the program ends with status 0.
  r = boot({"--fail", "open:/dev/ubi_ctrl:1:24", "--fail", "reboot::1:1"});
  EXPECT_EQ(ended(), "panic: exit status 0");
}

TEST_F(Board, APartitionOfForeignDataFallsBackOnTheRescue) {
  // Data UBI cannot attach holds no firmware: the card's backup replaces
  // it; with no card, the next boot is asked to rescue.
  init({"--foreign-data"});
  Result r = boot();
  EXPECT_EQ(
      r.err.rfind("Failed to attach ubi on /dev/mtd0: Invalid argument\n", 0),
      0u);
  EXPECT_NE(r.out.find("Failed to load ubi information\nResetting watchdog\n"
                       "Starting system recovery procedure\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(flag(), 0x52450001u);
  card({package("backup.bpk2", "1.0.0.0") + "=backup.bpk2"});
  set_flag(0);
  r = boot();
  EXPECT_NE(r.out.find("Clearing MTD device\n"), std::string::npos);
  EXPECT_EQ(flag(), 0u);
  boot();
  EXPECT_TRUE(switched_root()) << ended();
}

// Firmware whose root cannot be had gives way to the card's backup; a
// backup that is that very firmware is not installed again and again.
TEST_F(Board, ARootThatCannotBeMounted) {
  // A package whose rootfs image is no squashfs.
  auto junk = [&](const std::string& name, char fill) {
    fs::path image = work / (name + ".img");
    std::ofstream(image, std::ios::binary) << std::string(10000, fill);
    run(VELNOR_BIN "/velnor-pack",
        {"create", work / name, "--kernel", image, "--rootfs", image});
    return (work / name).string();
  };
  const std::string mount_einval =
      "Failed to mount root (/dev/mtdblock1): Invalid argument\n";
  const std::string again = "Rescue firmware is the installed firmware\n";
  struct Row {
    const char* what;
    std::string installed, backup;     // packages; no backup: no card
    std::vector<std::string> options;  // velnor-sim boot's, on boot 1
    bool no_switch_root;
    std::string first_line;  // the root failure's
    std::string last_line;   // the rescue's
    bool rescued;            // the backup's firmware is in the flash after
    uint32_t flag;
  };
  std::string good = package("good.bpk2", "2.0.0.0", 200000, 3);
  std::string backup = package("backup.bpk2", "1.0.0.0", 150000, 4);
  std::string bad = junk("junk.bpk2", 'j'), bad2 = junk("junk2.bpk2", 'k');
  const Row rows[] = {
      {"a rootfs that is not squashfs",
       bad,
       backup,
       {},
       false,
       mount_einval,
       "",
       true,
       0},
      {"a root mount failing with EIO",
       good,
       backup,
       {"--fail", "mount:/root:1:5"},
       false,
       "Failed to mount root (/dev/mtdblock1): Input/output error\n",
       "",
       true,
       0},
      {"switch_root missing",
       good,
       backup,
       {},
       true,
       "Failed to switch root\n",
       "",
       true,
       0},
      {"a backup that is the installed firmware",
       bad,
       bad,
       {},
       false,
       mount_einval,
       again,
       false,
       0},
      {"no card",
       bad,
       "",
       {},
       false,
       mount_einval,
       "Failed to find rescue FW\n",
       false,
       0x52450001},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    fs::remove_all(dev);
    init();
    installed(row.installed);
    if (!row.backup.empty()) card({row.backup + "=backup.bpk2"});
    if (row.no_switch_root) fs::remove(dev + "/root/sbin/switch_root");
    std::string before = rootfs_crc();
    Result r = boot(row.options);
    EXPECT_EQ(r.err.rfind(row.first_line, 0), 0u) << r.err;
    EXPECT_TRUE(r.err.ends_with(row.last_line)) << r.err;
    EXPECT_EQ(flag(), row.flag);
    EXPECT_EQ(ended(), "restart: reboot");
    EXPECT_EQ(field("leds")["err_red"]["delay_on"], "20");
    if (row.rescued) {
      EXPECT_NE(rootfs_crc(), before);
      // The backup's firmware boots where the root can be had.
      if (!row.no_switch_root) {
        boot();
        EXPECT_TRUE(switched_root()) << ended();
      }
    } else {
      EXPECT_EQ(rootfs_crc(), before);
    }
  }
  // A backup whose root fails as well: installed once, then left as it is,
  // boot after boot, without a write.
  fs::remove_all(dev);
  init();
  installed(bad);
  card({bad2 + "=backup.bpk2"});
  boot();
  std::string rescued = rootfs_crc();
  for (int n = 0; n < 2; ++n) {
    Result r = boot();
    EXPECT_TRUE(r.err.ends_with(again)) << r.err;
    EXPECT_EQ(rootfs_crc(), rescued);
    EXPECT_EQ(flag(), 0u);
  }
}

TEST_F(Board, ModulesAndSwitchRootFailures) {
  init();
  installed(package("fw.bpk2", "1.0.0.0"));
  put_program("/sbin/modprobe", "#!/bin/sh\nexit 3\n");
  fs::remove(dev + "/root/sbin/switch_root");
  Result r = boot();
  EXPECT_EQ(r.err.rfind("Failed to load modules\nFailed to switch root\n", 0),
            0u);
  EXPECT_NE(r.out.find("Mounting root filesystem\n"), std::string::npos);
  EXPECT_EQ(ended(), "restart: reboot");
  for (const nlohmann::json& m : field("mounts"))  // unmounted
    EXPECT_NE(m["target"], "/root");
}

TEST_F(Board, ModeWordsAndFlags) {
  init();
  installed(package("fw.bpk2", "1.0.0.0"));
  card({});
  // A word wins over the register, rows in order.
  set_flag(0x52450000);
  Result r = boot({"--", "update", "update2"});
  EXPECT_NE(r.out.find("Update flag found"), std::string::npos);
  // An unknown request is a normal boot.
  set_flag(0x12340000);
  boot({"--", "a", "b"});
  EXPECT_EQ(field("boot")["argv"],
            js(R"(["/sbin/switch_root", "/root", "/sbin/init", "a", "b"])"));
  // No register at all: the words alone decide.
  fs::remove(dev + "/state/bootflag");
  r = boot();
  EXPECT_EQ(r.err.substr(0, 51),
            "Failed to open /dev/mem: No such file or directory\n");
  EXPECT_TRUE(switched_root());
}

TEST_F(Board, ChainFromABlankDeviceThroughTwoUpdates) {
  init();
  card({package("fw1.bpk2", "1.0.0.0", 300000, 1) + "=update.bpk2"});
  set_flag(0x55500000);
  boot();
  boot();
  EXPECT_TRUE(switched_root());
  std::string first = rootfs_crc();
  card({package("fw2.bpk2", "1.1.0.0", 250000, 2) + "=update.bpk2"});
  set_flag(0x55500000);
  boot();
  boot();
  EXPECT_TRUE(switched_root());
  EXPECT_NE(rootfs_crc(), first);
  EXPECT_EQ(field("volumes")[0]["data_bytes"], 250000);
}

TEST_F(Board, FailuresTheKernelCanCause) {
  init();
  installed(package("fw.bpk2", "1.0.0.0"));
  // No MTD partition list for the root: the boot ends in a restart.
  Result r = boot({"--fail", "opendir:/sys/class/mtd:2:5"});
  EXPECT_EQ(r.err, "Failed to read /sys/class/mtd\n");
  EXPECT_NE(r.out.find("Mounting root filesystem\n"), std::string::npos);
  EXPECT_EQ(ended(), "restart: reboot");
  // A refused restart: the first process ends, and the kernel would panic.
  card({});
  r = boot({"--fail", "reboot::1:1", "--", "update"});
  EXPECT_EQ(ended(), "panic: exit status 0");
}

TEST_F(Board, MediaThatWillNotRemountOrUnmount) {
  init();
  card({package("backup.bpk2", "1.0.0.0")});
  Result r = boot({"--fail", "umount2:/mnt/mmc:1:16", "--", "rescue"});
  EXPECT_EQ(r.err,
            "Creating volume: rootfs\nCreating volume: kernel\n"
            "Failed to umount /dev/mmcblk0p1: Device or resource busy\n");
  EXPECT_NE(r.out.find("Firmware rescued\n"), std::string::npos);
  usb({package("fw.bpk2", "2.0.0.0") + "=update.bpk2"});
  r = boot({"--fail", "mount:/mnt/mmc:2:30", "--", "usb"});
  EXPECT_EQ(r.err, "Failed to mount MMC rw\n");
}

TEST_F(Board, PackagesThatFailToInstall) {
  init();
  std::string bad = package("bad.bpk2", "1.0.0.0");
  std::string bytes = slurp(bad);
  bytes[bytes.size() - 31 - 100] ^= 1;  // kernel data, before the version
  std::ofstream(bad, std::ios::binary | std::ios::trunc) << bytes;
  card({bad + "=backup.bpk2"});
  Result r = boot({"--", "rescue"});
  EXPECT_EQ(r.err, "Failed to validate kernel CRC\n");
  EXPECT_EQ(r.out.find("Firmware rescued"), std::string::npos);
  usb({bad + "=update.bpk2"});
  r = boot({"--", "usb"});
  EXPECT_EQ(r.err, "Failed to validate kernel CRC\n");
  EXPECT_EQ(flag(), 0u);
}

TEST_F(Board, AFullCardDuringTheUsbCopy) {
  init();
  card({"--capacity", "100000"});
  usb({package("fw.bpk2", "2.0.0.0") + "=update.bpk2"});
  set_flag(0x55420000);
  Result r = boot();
  EXPECT_EQ(r.err,
            "Failed to write: No space left on device\nFailed to move firmware "
            "on MMC\n");
  EXPECT_EQ(flag(), 0x55420000u);
  EXPECT_EQ(field("volumes"), js("[]"));  // nothing touched
}

TEST_F(Board, BadSectorsInTheUpdatePackage) {
  init();
  std::string pkg = package("fw.bpk2", "2.0.0.0");
  installed(pkg);
  nlohmann::json before = field("volumes");
  card({"--read-error-at", "100000", pkg + "=update.bpk2"});
  set_flag(0x55500000);
  Result r = boot();
  // The kernel's entry header lies behind the bad sector: the structure
  // walk cannot finish.
  EXPECT_EQ(r.err,
            "Failed to open bpk file: corrupted crc\n"
            "Failed to open bpk file: /mnt/mmc/packages/update.bpk2\n");
  EXPECT_NE(r.out.find("Update failed\n"), std::string::npos);
  EXPECT_EQ(field("volumes"), before);
  EXPECT_EQ(flag(), 0x55500000u);
}

TEST_F(Board, AStickPulledOutDuringTheCopy) {
  init();
  card({});
  usb({"--removed-after", "60000",
       package("fw.bpk2", "2.0.0.0") + "=update.bpk2"});
  Result r = boot({"--", "usb"});
  EXPECT_EQ(
      r.err,
      "Failed to read: Input/output error\nFailed to move firmware on MMC\n");
}

TEST_F(Board, ACardPulledOutDuringTheInstallationComesBackNextBoot) {
  init();
  std::string pkg = package("fw.bpk2", "2.0.0.0");
  installed(pkg);
  // Validation reads the package once; it goes half way into the writing.
  uintmax_t size = fs::file_size(pkg);
  card({"--removed-after", std::to_string(size + size / 2),
        pkg + "=update.bpk2"});
  set_flag(0x55500000);
  Result r = boot();
  EXPECT_NE(r.err.find("Failed to flash firmware\n"), std::string::npos);
  EXPECT_NE(r.out.find("Update failed\n"), std::string::npos);
  EXPECT_EQ(flag(), 0x55500000u);
  // The flow removed the old firmware; the request stands, and with the
  // card back the next boot installs it.
  card({pkg + "=update.bpk2"});
  r = boot();
  EXPECT_NE(r.out.find("Firmware updated\n"), std::string::npos);
  boot();
  EXPECT_TRUE(switched_root());
}

TEST_F(Board, AModuleLoaderThatNeverReturnsEndsInAWatchdogRestart) {
  init();
  installed(package("fw.bpk2", "1.0.0.0"));
  put_program("/sbin/modprobe",
              std::string("#!/bin/sh\nexec $VELNOR_SIM_EMULATOR '") +
                  VELNOR_BIN + "/velnor-sim' board hang\n");
  Result r = boot();
  EXPECT_NE(r.out.find("Loading modules\n"), std::string::npos);
  EXPECT_EQ(r.out.find("Mounting root filesystem"), std::string::npos);
  EXPECT_EQ(ended(), "restart: watchdog");
  // 121 seconds of budget (120, and one for the volumes' MiB), then at
  // most 10 more without a keepalive.
  uint64_t fired = watchdog_fired_ns();
  EXPECT_GT(fired, 121'000'000'000ull);
  EXPECT_LE(fired, 131'000'000'000ull);
  // The next boot, with a loader that works, goes all the way.
  put_program("/sbin/modprobe", "#!/bin/sh\nexit 0\n");
  boot();
  EXPECT_TRUE(switched_root());
}

TEST_F(Board, AnInstallationThatStallsIsRestartedAndTriedAgain) {
  init();
  card({package("fw.bpk2", "2.0.0.0") + "=update.bpk2"});
  set_flag(0x55500000);
  ASSERT_EQ(sim({"fault", dev, "stall-writes", "on"}).status, 0);
  boot();
  EXPECT_EQ(ended(), "restart: watchdog");
  uint64_t fired = watchdog_fired_ns();
  EXPECT_GT(fired, 300'000'000'000ull);
  EXPECT_LE(fired, 310'000'000'000ull);
  EXPECT_EQ(flag(), 0x55500000u);
  ASSERT_EQ(sim({"fault", dev, "stall-writes", "off"}).status, 0);
  Result r = boot();
  EXPECT_NE(r.out.find("Firmware updated\n"), std::string::npos);
}

// A chip that programs slowly but keeps moving: the installation takes
// longer than its 300 seconds, and the watchdog is fed as the bytes move,
// without a line of its own.
TEST_F(Board, ASlowFlashThatKeepsMovingIsNotCutOff) {
  init();
  card({package("fw.bpk2", "2.0.0.0", 6 << 20) + "=update.bpk2"});
  set_flag(0x55500000);
  ASSERT_EQ(sim({"fault", dev, "slow-writes", "8000"}).status, 0);
  Result r = boot();
  EXPECT_NE(r.out.find("Firmware updated\n"), std::string::npos) << r.out;
  EXPECT_EQ(ended(), "restart: reboot");
  EXPECT_GT(field("clock_ns").get<uint64_t>(), 400'000'000'000ull);
  EXPECT_EQ(flag(), 0u);
  size_t resets = 0;
  for (size_t at = 0;
       (at = r.out.find("Resetting watchdog", at)) != std::string::npos; ++at)
    ++resets;
  EXPECT_EQ(resets, 2u);
}

// A chip that reads slowly: the kernel's check of the 32 MiB rootfs at its
// first open takes longer than the normal boot's 120 seconds; the budget
// has grown by the volumes' size before it, and the firmware starts.
TEST_F(Board, ASlowVolumeCheckWithinItsBudgetBoots) {
  init();
  installed(package("fw.bpk2", "1.0.0.0", 32 << 20));
  ASSERT_EQ(sim({"fault", dev, "slow-reads", "500"}).status, 0);
  Result r = boot();
  EXPECT_TRUE(switched_root()) << r.out;
  EXPECT_GT(field("clock_ns").get<uint64_t>(), 130'000'000'000ull);
}

TEST_F(Board, AStickThatNeverArrives) {
  init();
  card({});
  usb({"--late", "40000", package("fw.bpk2", "2.0.0.0") + "=update.bpk2"});
  Result r = boot({"--", "usb"});
  EXPECT_EQ(r.err,
            "Failed to find /dev/sda1 partition\nFailed to mount USB device\n");
  // The 30-second wait ends inside the 300 seconds the step may take.
  EXPECT_EQ(ended(), "restart: reboot");
}
