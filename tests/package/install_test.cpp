// Installing packages on the simulated device, outcome by outcome.
#include "package/install.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "common/os.h"
#include "common/progress.h"
#include "flash/ubi.h"
#include "tests/package/package_bytes.h"
#include "tests/sim_device.h"

using namespace test_bytes;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t leb = 129024;

std::string image(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

class Install : public ::testing::Test {
 protected:
  explicit Install(const sim::DeviceOptions& o = {}) : device(o) {}
  void SetUp() override {
    show_progress_forget_terminal();
    sim::set_console_terminal(false);
  }
  void TearDown() override { show_progress_forget_terminal(); }

  std::string package(const std::string& rootfs, const std::string& kernel) {
    device.put("/mnt/mmc/update.bpk2",
               container({{bpk_type_rootfs, rootfs},
                          {bpk_type_kernel, kernel},
                          {bpk_type_version, "1.0.0.0"}}));
    return "/mnt/mmc/update.bpk2";
  }
  // The volumes as the flash holds them, attached or not.
  nlohmann::json volumes() { return device.show()["volumes"]; }
  // The names of the volumes, in order of their ids.
  std::vector<std::string> names() {
    std::vector<std::string> out;
    for (const nlohmann::json& v : volumes()) out.push_back(v["name"]);
    return out;
  }
  bool holds(const std::string& name, const std::string& data) {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", test_bytes::crc32(data));
    for (const nlohmann::json& v : volumes()) {
      if (v["name"] != name) continue;
      return v["type"] == "static" && v["data_bytes"] == data.size() &&
             v["crc32"] == crc && v["upd_marker"] == false;
    }
    return false;
  }
  size_t count_volumes() { return volumes().size(); }
  bool attached() { return fs::exists(device.host("/sys/class/ubi/ubi0")); }

  // Firmware already on the device, made the way an installation makes it.
  void preinstall(const std::vector<std::pair<std::string, uint32_t>>& vols) {
    UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
    ASSERT_TRUE(info);
    for (const auto& [name, size] : vols) {
      ASSERT_NE(ubi_volume_create(info.get(), name, size, 0), nullptr);
    }
    ASSERT_EQ(ubi_detach(info.get()), 0);
    sim::clear_console();
  }

  SimDevice device;
};

}  // namespace

TEST_F(Install, ErasedFlashGetsBothImages) {
  std::string rootfs = image(3 * leb + 100, 1), kernel = image(50000, 2);
  EXPECT_EQ(install_package(package(rootfs, kernel).c_str()), 0);
  EXPECT_TRUE(holds("rootfs", rootfs));
  EXPECT_TRUE(holds("kernel", kernel));
  EXPECT_EQ(count_volumes(), 2);
  EXPECT_FALSE(attached());
  EXPECT_EQ(SimDevice::console(1),
            "Flashing \"rootfs\" ....\nFlashing \"kernel\" .\n");
  EXPECT_EQ(SimDevice::console(2),
            "Creating volume: rootfs\nCreating volume: kernel\n");
}

TEST_F(Install, OldFirmwareIsReplacedAndOtherVolumesKept) {
  preinstall({{"kernel", 1000},
              {"rootfs", 1000},
              {"rootfs_old", 1000},
              {"kernel_old", 1000},
              {"kernel_new", 1000},
              {"data", 5000}});
  std::string rootfs = image(200000, 3), kernel = image(30000, 4);
  EXPECT_EQ(install_package(package(rootfs, kernel).c_str()), 0);
  EXPECT_TRUE(holds("rootfs", rootfs));
  EXPECT_TRUE(holds("kernel", kernel));
  std::vector<std::string> kept = names();
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"data", "kernel", "rootfs"}));
}

class InstallOnForeignData : public Install {
 protected:
  static sim::DeviceOptions foreign() {
    sim::DeviceOptions o;
    o.nand.size = 16 << 20;  // 128 erase blocks keep the dots countable
    o.nand.foreign_data = true;
    return o;
  }
  InstallOnForeignData() : Install(foreign()) {}
};

TEST_F(InstallOnForeignData, DataUbiCannotAttachIsClearedFirst) {
  std::string rootfs = image(1000, 5), kernel = image(2000, 6);
  EXPECT_EQ(install_package(package(rootfs, kernel).c_str()), 0);
  EXPECT_EQ(SimDevice::console(1),
            "Clearing MTD device\nErasing MTD device (/dev/mtd0): " +
                std::string(128, '.') +
                "\nFlashing \"rootfs\" .\nFlashing \"kernel\" .\n");
  EXPECT_EQ(SimDevice::console(2),
            "Failed to attach ubi on /dev/mtd0: Invalid argument\n"
            "Creating volume: rootfs\nCreating volume: kernel\n");
  EXPECT_TRUE(holds("kernel", kernel));
}

// What could never fit the partition is refused before it is erased.
TEST_F(InstallOnForeignData, WhatCannotFitIsRefusedBeforeTheErase) {
  std::string rootfs = image(17 << 20, 5), kernel = image(1000, 6);
  EXPECT_EQ(install_package(package(rootfs, kernel).c_str()), -1);
  EXPECT_EQ(SimDevice::console(1), "");
  EXPECT_EQ(SimDevice::console(2),
            "Failed to attach ubi on /dev/mtd0: Invalid argument\n"
            "Firmware does not fit: 140 erase blocks needed, 124 available\n");
}

class InstallOnUnerasableFlash : public Install {
 protected:
  static sim::DeviceOptions bad() {
    sim::DeviceOptions o;
    o.nand.size = 1 << 20;
    o.nand.foreign_data = true;
    o.nand.badblock_ioctl = false;
    o.nand.bad_blocks = {2};
    return o;
  }
  InstallOnUnerasableFlash() : Install(bad()) {}
};

TEST_F(InstallOnUnerasableFlash, AFailedEraseEndsIt) {
  EXPECT_EQ(install_package(package("r", "k").c_str()), -1);
  EXPECT_NE(SimDevice::console(2).find("ioctl(MEMERASE) failed (on /dev/mtd0): "
                                       "Input/output error\n"
                                       "Failed to load ubi information\n"),
            std::string::npos);
}

TEST_F(Install, NoUbiPartitionAtAll) {
  fs::remove_all(device.host("/sys/class/mtd"));
  fs::create_directories(device.host("/sys/class/mtd"));
  EXPECT_EQ(install_package(package("r", "k").c_str()), -1);
  EXPECT_EQ(SimDevice::console(1), "");  // nothing to erase
  EXPECT_EQ(SimDevice::console(2), "Failed to load ubi information\n");
}

TEST_F(Install, AnInvalidPackageLeavesTheFlashUntouched) {
  preinstall({{"kernel", 1000}, {"rootfs", 1000}});
  nlohmann::json before = volumes();
  device.put("/p1.bpk2", container({{bpk_type_rootfs, "rootfs only"}}));
  EXPECT_EQ(install_package("/p1.bpk2"), -1);
  std::string damaged =
      container({{bpk_type_rootfs, "rootfs"}, {bpk_type_kernel, "k"}});
  damaged[53] ^= 1;
  device.put("/p2.bpk2", damaged);
  EXPECT_EQ(install_package("/p2.bpk2"), -1);
  EXPECT_EQ(install_package("/missing.bpk2"), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to find kernel partition\n"
            "Failed to validate rootfs CRC\n"
            "Failed to open bpk file: /missing.bpk2\n");
  EXPECT_EQ(volumes(), before);
  EXPECT_FALSE(attached());
}

TEST_F(Install, AKernelVolumeThatCannotBeCreatedTakesTheNewRootfsWithIt) {
  // UBI holds 128 volumes: 127 data volumes leave room for the rootfs only.
  std::vector<std::pair<std::string, uint32_t>> data;
  for (int i = 0; i < 127; ++i)
    data.emplace_back("data" + std::to_string(i), 1);
  preinstall(data);
  std::string rootfs = image(5 * leb, 7), kernel = image(6 * leb, 8);
  EXPECT_EQ(install_package(package(rootfs, kernel).c_str()), -1);
  EXPECT_NE(SimDevice::console(2).find(
                "Creating volume: kernel\n"
                "Failed to create volume: Too many open files in system\n"
                "Failed to create volume kernel\n"),
            std::string::npos);
  EXPECT_EQ(count_volumes(), 127);  // the data volumes alone
  EXPECT_FALSE(attached());
}

TEST_F(Install, AFailedWriteLeavesNoFirmwareVolumeBehind) {
  // The volume written is removed; so is what older firmware left beside
  // its volumes. The installed firmware and other volumes stay.
  struct Row {
    void (*fault)(bool);
    std::vector<std::pair<std::string, uint32_t>> before;
    std::vector<std::string> after;
  } rows[] = {
      {sim::flash_corrupt_writes, {}, {}},
      {sim::flash_fail_writes,
       {{"kernel", 1000},
        {"rootfs", 1000},
        {"rootfs_old", 1000},
        {"kernel_old", 1000},
        {"kernel_new", 1000},
        {"rootfs_new", 1000},
        {"data", 5000}},
       {"data", "kernel", "rootfs"}},
  };
  for (const Row& row : rows) {
    if (!row.before.empty()) preinstall(row.before);
    sim::clear_console();
    row.fault(true);
    EXPECT_EQ(install_package(package(image(1000, 9), image(1000, 10)).c_str()),
              -1);
    row.fault(false);
    EXPECT_EQ(SimDevice::console(2),
              "Creating volume: rootfs\nFailed to flash firmware\n");
    std::vector<std::string> left = names();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, row.after);
  }
}

// An installation over firmware: beside it when the flash has room for
// both (the old firmware stays until the new one is renamed into place),
// in its place when it has not (the old one goes first).
class InstallOverFirmware : public Install {
 protected:
  static sim::DeviceOptions small() {
    sim::DeviceOptions o;
    o.nand.size = 8 << 20;  // 64 erase blocks: room for two 21-block firmwares
    return o;
  }
  InstallOverFirmware() : Install(small()) {}
};

TEST_F(InstallOverFirmware, TheOldFirmwareStaysUntilTheNewOneIsInPlace) {
  enum Firmware { old_one, new_one, none };
  struct Row {
    const char* what;
    uint32_t rootfs_blocks;
    void (*fault)(bool);
    std::vector<std::pair<std::string, uint32_t>> leftovers;
    int result;
    bool renamed;
    Firmware after;
  } rows[] = {
      {"beside", 15, nullptr, {}, 0, true, new_one},
      {"beside, a write fails",
       15,
       sim::flash_fail_writes,
       {},
       -1,
       false,
       old_one},
      {"beside, the read-back differs",
       15,
       sim::flash_corrupt_writes,
       {},
       -1,
       false,
       old_one},
      // What a cut installation left goes first, and frees the room.
      {"beside, after leftovers",
       15,
       nullptr,
       {{"rootfs_new", 20 * leb}, {"kernel_old", 5 * leb}},
       0,
       true,
       new_one},
      {"in place", 40, nullptr, {}, 0, false, new_one},
      {"in place, a write fails",
       40,
       sim::flash_fail_writes,
       {},
       -1,
       false,
       none},
  };
  unsigned seed = 20;
  for (const Row& row : rows) {
    std::string old_rootfs = image(20 * leb, ++seed),
                old_kernel = image(90000, ++seed);
    ASSERT_EQ(install_package(package(old_rootfs, old_kernel).c_str()), 0);
    if (!row.leftovers.empty()) preinstall(row.leftovers);
    std::string rootfs = image(row.rootfs_blocks * leb, ++seed),
                kernel = image(80000, ++seed);
    std::string pkg = package(rootfs, kernel);
    sim::clear_console();
    if (row.fault) row.fault(true);
    EXPECT_EQ(install_package(pkg.c_str()), row.result) << row.what;
    if (row.fault) row.fault(false);
    // The lines an operator reads name the firmware's volumes either way.
    EXPECT_EQ(SimDevice::console(1).find("Flashing \"rootfs\""), 0u)
        << row.what;
    if (row.result == 0) {
      EXPECT_EQ(SimDevice::console(2),
                "Creating volume: rootfs\nCreating volume: kernel\n")
          << row.what;
    }
    EXPECT_EQ(SimDevice::console(1).find("Renaming:\n"
                                         "  rootfs_new -> rootfs\n"
                                         "  kernel_new -> kernel\n") !=
                  std::string::npos,
              row.renamed)
        << row.what << SimDevice::console(1);
    std::vector<std::string> left = names();
    std::sort(left.begin(), left.end());
    if (row.after == none) {
      EXPECT_TRUE(left.empty()) << row.what;
      continue;
    }
    EXPECT_EQ(left, (std::vector<std::string>{"kernel", "rootfs"})) << row.what;
    bool fresh = row.after == new_one;
    EXPECT_TRUE(holds("rootfs", fresh ? rootfs : old_rootfs)) << row.what;
    EXPECT_TRUE(holds("kernel", fresh ? kernel : old_kernel)) << row.what;
  }
}

TEST_F(Install, ADetachThatFailsIsReportedAndTheResultStands) {
  preinstall({{"data", 1000}});
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  ASSERT_STREQ(ubi_volume_device(ubi_volume_find(info.get(), "data")),
               "/dev/ubi0_0");
  int held = os::open("/dev/ubi0_0", O_RDONLY);  // keeps the device busy
  sim::clear_console();
  EXPECT_EQ(install_package(package(image(100, 1), image(100, 2)).c_str()), 0);
  EXPECT_NE(SimDevice::console(2).find("Failed to detach UBI device\n"),
            std::string::npos);
  os::close(held);
}

TEST_F(Install, AnOldVolumeThatCannotBeRemovedStopsThatImage) {
  preinstall({{"rootfs", 1000}});
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  ASSERT_STREQ(ubi_volume_device(ubi_volume_find(info.get(), "rootfs")),
               "/dev/ubi0_0");
  int held = os::open("/dev/ubi0_0", O_RDONLY);
  sim::clear_console();
  // Written beside it, the new firmware cannot take its place: UBI will not
  // remove a volume in use. The temporary volumes go; the old one stays.
  EXPECT_EQ(install_package(package(image(100, 1), image(100, 2)).c_str()), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Creating volume: rootfs\nCreating volume: kernel\n"
            "Failed to rename volumes: Device or resource busy\n"
            "Failed to detach UBI device\n");
  os::close(held);
  EXPECT_EQ(names(), std::vector<std::string>{"rootfs"});
}

TEST_F(Install, APackageChangedAfterValidationIsNotInstalled) {
  // The medium serves other data once validated, with CRCs that match it:
  // the read-back is held to what validation checked.
  std::string path = package(image(5000, 1), image(5000, 2));
  PackagePtr p = bpk_open(path.c_str(), false);
  ValidatedPackage images;
  ASSERT_EQ(validate_package(p.get(), &images), 0);
  device.put(path, container({{bpk_type_rootfs, image(5000, 3)},
                              {bpk_type_kernel, image(5000, 2)}}));
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  sim::clear_console();
  EXPECT_EQ(install_image(p.get(), images.rootfs, "rootfs", info.get()), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Creating volume: rootfs\n"
            "Failed to flash firmware, CRC mismatch on rootfs\n");
  EXPECT_EQ(ubi_volume_find(info.get(), "rootfs"), nullptr);
  ubi_detach(info.get());
}

TEST_F(Install, InstallEntryByItself) {
  preinstall({{"kernel", 1000}});
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  device.put("/p.bpk2", container({{bpk_type_kernel, "new kernel"}}));
  PackagePtr p = bpk_open("/p.bpk2", false);
  EXPECT_EQ(install_entry(p.get(), bpk_type_kernel, "kernel", info.get()), 0);
  EXPECT_EQ(SimDevice::console(1),
            "Removing old volume kernel\nFlashing \"kernel\" .\n");
  EXPECT_EQ(install_entry(p.get(), bpk_type_rootfs, "rootfs", info.get()), -1);
  EXPECT_NE(SimDevice::console(2).find("Failed to find bpk partition\n"),
            std::string::npos);
  ubi_detach(info.get());
  EXPECT_TRUE(holds("kernel", "new kernel"));
}
