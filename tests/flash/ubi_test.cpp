// Attaching the UBI device and reading its records.
#include "flash/ubi.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "common/os.h"
#include "sim/flash_model.h"
#include "tests/sim_device.h"

namespace fs = std::filesystem;

TEST(UbiAttach, ErasedFlashAttachesAsAnEmptyDevice) {
  SimDevice device;
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->device, "/dev/ubi0");
  EXPECT_EQ(info->volumes, nullptr);
  struct stat st;
  ASSERT_EQ(os::stat("/dev/ubi_ctrl", &st), 0);
  EXPECT_EQ(st.st_rdev, makedev(10, 125));
  ASSERT_EQ(os::stat("/dev/ubi0", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(device.get("/sys/class/ubi/ubi0/mtd_num"), "0\n");
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST(UbiAttach, AnAttachedDeviceIsReused) {
  SimDevice device;
  ASSERT_TRUE(ubi_info_for_mtd("nand0.ubi"));
  // A second attach request of the same partition would be refused by the
  // kernel; the device found in sysfs is taken instead.
  UbiInfoPtr again = ubi_info_for_mtd("nand0.ubi");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->device, "/dev/ubi0");
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST(UbiAttach, DataThatIsNotUbiIsRefused) {
  sim::DeviceOptions o;
  o.nand.foreign_data = true;
  SimDevice device(o);
  EXPECT_EQ(ubi_info_for_mtd("nand0.ubi"), nullptr);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to attach ubi on /dev/mtd0: Invalid argument\n");
}

TEST(UbiAttach, AChipWithoutSubpagesTakesItsImageReadOnly) {
  // 4 KiB pages written whole: the VID header at 512 shares the first page
  // with the EC header, and UBI will not write either.
  sim::DeviceOptions o;
  o.nand.size = 16 << 20;
  o.nand.erasesize = 256 << 10;
  o.nand.pagesize = o.nand.subpage = 4096;
  SimDevice device(o);
  // Erased, the chip would need its layout volume written: no attach.
  EXPECT_EQ(ubi_info_for_mtd("nand0.ubi"), nullptr);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to attach ubi on /dev/mtd0: Read-only file system\n");
  sim::clear_console();
  // An image written elsewhere with that offset attaches, and is read.
  sim::flash_transaction([](sim::Flash& f, sim::FlashRuntime&) {
    sim::SimPartition& p = f.partitions[0];
    p.content = sim::Content::ubi;
    p.vid_hdr_offset = 512;
    sim::SimVolume kernel;
    kernel.name = "kernel";
    kernel.reserved_lebs = 1;
    kernel.data_bytes = 6;
    p.volumes.push_back(kernel);
    return true;
  });
  std::ofstream(sim::volume_data_path(device.dir(), 0, 0)) << "kernel";
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  ASSERT_TRUE(info);
  EXPECT_EQ(device.get("/sys/class/ubi/ubi0/ro_mode"), "1\n");
  EXPECT_EQ(device.get("/sys/class/ubi/ubi0/eraseblock_size"),
            std::to_string((256 << 10) - 4096) + "\n");
  UbiVolume* kernel = ubi_volume_find(info.get(), "kernel");
  ASSERT_NE(kernel, nullptr);
  EXPECT_EQ(ubi_volume_check(kernel), 0);
  // Nothing that writes the flash is taken.
  EXPECT_EQ(ubi_volume_create(info.get(), "rootfs", 1000, 0), nullptr);
  EXPECT_EQ(ubi_volume_remove(info.get(), kernel), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Creating volume: rootfs\n"
            "Failed to create volume: Read-only file system\n"
            "Failed to rm volume (ioctl): Read-only file system\n");
  EXPECT_EQ(ubi_detach(info.get()), 0);
}

TEST(UbiAttach, UnknownPartitionGivesNothingQuietly) {
  SimDevice device;
  EXPECT_EQ(ubi_info_for_mtd("nand1.ubi"), nullptr);
  EXPECT_EQ(SimDevice::console(2), "");
  EXPECT_FALSE(fs::exists(device.host("/dev/ubi_ctrl")));
}

TEST(UbiAttach, OnlyTheFirstMatchingDeviceEntryIsLoaded) {
  SimDevice device;
  ASSERT_TRUE(ubi_info_for_mtd("nand0.ubi"));
  // A second entry naming the same partition (as after a stale listing).
  device.put("/sys/class/ubi/ubi7/mtd_num", "0\n");
  device.put("/sys/class/ubi/ubi7/dev", "243:0\n");
  std::string first;
  for (const auto& e : fs::directory_iterator(device.host("/sys/class/ubi"))) {
    std::string n = e.path().filename();
    if (n.find('_') == std::string::npos) {
      first = n;
      break;
    }
  }
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->device, "/dev/" + first);
}

TEST(UbiAttach, AnUnloadableEntryLeadsToARefusedAttach) {
  SimDevice device;
  ASSERT_TRUE(ubi_info_for_mtd("nand0.ubi"));
  fs::remove(device.host("/dev/ubi0"));
  fs::remove(device.host("/sys/class/ubi/ubi0/dev"));
  sim::clear_console();
  EXPECT_EQ(ubi_info_for_mtd("nand0.ubi"), nullptr);
  EXPECT_EQ(
      SimDevice::console(2),
      "Failed to open file /sys/class/ubi/ubi0/dev error: No such file or "
      "directory\n"
      "dev_str is null\n"
      "Failed to parse /sys/class/ubi/ubi0/dev\n"
      "Failed to attach ubi on /dev/mtd0: File exists\n");
}

TEST(UbiAttach, AnUnlistableClassStillAttaches) {
  SimDevice device;
  fs::remove_all(device.host("/sys/class/ubi"));
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  EXPECT_TRUE(info);
  EXPECT_EQ(SimDevice::console(2), "Failed to read /sys/class/ubi\n");
}

TEST(UbiAttach, NodeThatCannotBeMadeGivesNothing) {
  SimDevice device;
  ASSERT_TRUE(ubi_info_for_mtd("nand0.ubi"));
  fs::remove(device.host("/dev/ubi0"));
  fs::remove(device.host("/dev/ubi_ctrl"));
  fs::remove_all(device.host("/dev"));
  EXPECT_EQ(ubi_info_load("ubi0"), nullptr);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to create device: No such file or directory\n");
}

TEST(UbiAttach, VolumesThatCannotBeListedLeaveAnEmptyInfo) {
  SimDevice device;
  ASSERT_TRUE(ubi_info_for_mtd("nand0.ubi"));
  UbiInfo info{"/dev/ubi0", nullptr};
  fs::rename(device.host("/sys/class/ubi"), device.host("/sys/class/ubi.away"));
  EXPECT_EQ(ubi_volumes_scan(&info, false), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to read /sys/class/ubi\n");
}

TEST(UbiCtrl, ExistingNodeIsUsedAsItIs) {
  SimDevice device;
  device.put("/dev/ubi_ctrl", "");  // writable: taken as it is
  fs::remove(device.host("/sys/class/misc/ubi_ctrl/dev"));
  EXPECT_EQ(ubi_ctrl_create(), 0);
  fs::remove(device.host("/dev/ubi_ctrl"));
  EXPECT_EQ(ubi_ctrl_create(), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open file /sys/class/misc/ubi_ctrl/dev error: No such "
            "file or directory\n"
            "dev_str is null\n"
            "Failed to parse /sys/class/misc/ubi_ctrl/dev\n");
}

TEST(UbiDetach, VolumesSurviveDetachAndAttach) {
  SimDevice device;
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  ASSERT_NE(ubi_volume_create(info.get(), "data", 100000, 1), nullptr);
  EXPECT_EQ(ubi_detach(info.get()), 0);
  EXPECT_FALSE(fs::exists(device.host("/sys/class/ubi/ubi0")));
  EXPECT_EQ(ubi_detach(info.get()), -1);  // no longer attached
  UbiInfoPtr again = ubi_info_for_mtd("nand0.ubi");
  ASSERT_TRUE(again);
  UbiVolume* data = ubi_volume_find(again.get(), "data");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->status, 0);
  UbiInfo nameless{"/dev/ubi", nullptr};
  EXPECT_EQ(ubi_detach(&nameless), -1);
}

namespace {

// Volume entries written by hand, for the record readers.
class UbiRecords : public ::testing::Test {
 protected:
  void volume(const std::string& entry, const std::string& name,
              const std::string& data_bytes = "1000\n",
              const std::string& upd_marker = "0\n",
              const std::string& corrupted = "0\n") {
    std::string d = "/sys/class/ubi/" + entry + "/";
    device.put(d + "name", name + "\n");
    device.put(d + "data_bytes", data_bytes);
    device.put(d + "upd_marker", upd_marker);
    device.put(d + "corrupted", corrupted);
    device.put(d + "usable_eb_size", "129024\n");
    device.put(d + "dev", "240:1\n");
  }
  SimDevice device;
};

}  // namespace

TEST_F(UbiRecords, StatusBitsFromTheFlags) {
  volume("ubi3_0", "sound");
  volume("ubi3_1", "updating", "1000\n", "1\n");
  volume("ubi3_2", "zero", "1000\n", "05");
  volume("ubi3_3", "empty", "0\n");
  volume("ubi3_4", "bad", "1000\n", "0", "1\n");
  UbiInfo info{"/dev/ubi3", nullptr};
  EXPECT_EQ(ubi_volumes_scan(&info, false), 5);
  auto status = [&](const char* name) {
    UbiVolume* v = ubi_volume_find(&info, name);
    EXPECT_NE(v, nullptr) << name;
    return v ? v->status : 0xFF;
  };
  EXPECT_EQ(status("sound"), 0);
  EXPECT_EQ(status("updating"), ubi_status_update);
  EXPECT_EQ(status("zero"), ubi_status_update);
  EXPECT_EQ(status("empty"), ubi_status_empty);
  EXPECT_EQ(status("bad"), ubi_status_corrupted);
  EXPECT_EQ(ubi_volume_check(ubi_volume_find(&info, "sound")), 0);
  EXPECT_EQ(ubi_volume_check(ubi_volume_find(&info, "empty")), -1);
  EXPECT_EQ(ubi_volume_check(nullptr), -1);
  UbiVolume* v = ubi_volume_find(&info, "sound");
  EXPECT_EQ(v->id, 0);
  EXPECT_EQ(v->usable_eb_size, 129024);
  EXPECT_EQ(v->data_bytes, 1000);
  EXPECT_EQ(v->device, "/dev/ubi3_0");
  EXPECT_EQ(v->sysfs, "/sys/class/ubi/ubi3_0");
}

TEST_F(UbiRecords, ADeviceDoesNotClaimAnotherWhoseNameItBegins) {
  volume("ubi1_0", "mine");
  volume("ubi10_0", "not mine");
  volume("ubi1_12", "also mine");
  UbiInfo info{"/dev/ubi1", nullptr};
  EXPECT_EQ(ubi_volumes_scan(&info, false), 3);
  EXPECT_NE(ubi_volume_find(&info, "mine"), nullptr);
  EXPECT_EQ(ubi_volume_find(&info, "not mine"), nullptr);
  EXPECT_EQ(ubi_volume_find(&info, "also mine")->id, 12);
}

TEST_F(UbiRecords, ScanSkipsKnownVolumesOnlyWhenAsked) {
  volume("ubi0_0", "a");
  UbiInfo info{"/dev/ubi0", nullptr};
  ubi_volumes_scan(&info, false);
  ubi_volumes_scan(&info, false);
  ASSERT_NE(info.volumes->next, nullptr);  // loaded twice
  volume("ubi0_1", "b");
  ubi_volumes_scan(&info, true);
  int count = 0;
  for (UbiVolume* v = info.volumes.get(); v; v = v->next.get()) ++count;
  EXPECT_EQ(count, 3);
  EXPECT_EQ(info.volumes->name, "b");  // the newest at the front
  EXPECT_EQ(ubi_volume_find(&info, nullptr), nullptr);
}

TEST_F(UbiRecords, RefreshDropsVolumesThatWentAway) {
  volume("ubi0_0", "a");
  volume("ubi0_1", "b");
  UbiInfo info{"/dev/ubi0", nullptr};
  ubi_volumes_scan(&info, false);
  fs::remove_all(device.host("/sys/class/ubi/ubi0_0"));
  volume("ubi0_2", "c");
  sim::clear_console();
  ubi_volumes_refresh(&info);
  EXPECT_EQ(ubi_volume_find(&info, "a"), nullptr);
  EXPECT_NE(ubi_volume_find(&info, "b"), nullptr);
  EXPECT_NE(ubi_volume_find(&info, "c"), nullptr);
  EXPECT_EQ(
      SimDevice::console(2),
      "Failed to open file /sys/class/ubi/ubi0_0/corrupted error: No such "
      "file or directory\n"
      "Failed to update volume: sysfs file /sys/class/ubi/ubi0_0/corrupted "
      "is zero error\n");
}

TEST_F(UbiRecords, RefreshFailuresStopAtTheFailingAttribute) {
  volume("ubi0_0", "a");
  UbiInfo info{"/dev/ubi0", nullptr};
  ubi_volumes_scan(&info, false);
  UbiVolume* v = info.volumes.get();
  device.put("/sys/class/ubi/ubi0_0/upd_marker", "1");
  fs::remove(device.host("/sys/class/ubi/ubi0_0/usable_eb_size"));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_refresh(v), -1);
  EXPECT_FALSE(v->name);
  EXPECT_EQ(v->status, ubi_status_update);
  EXPECT_EQ(ubi_volume_find(&info, "a"), nullptr);
  EXPECT_NE(SimDevice::console(2).find(
                "Failed to update volume: can't read sysfs file "
                "/sys/class/ubi/ubi0_0/usable_eb_size\n"),
            std::string::npos);
  sim::clear_console();
  EXPECT_EQ(ubi_volume_refresh(nullptr), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to update volume: vol is null\n");
}

TEST_F(UbiRecords, LoadFailures) {
  UbiInfo info{"/dev/ubi0", nullptr};
  EXPECT_EQ(ubi_volume_load(&info, "ubi0_9"), nullptr);
  device.put("/sys/class/ubi/ubi0/mtd_num", "0");
  EXPECT_EQ(ubi_volume_load(&info, "ubi0"), nullptr);  // no underscore
  EXPECT_EQ(SimDevice::console(2),
            "Failed to load volume, device: /dev/ubi0_9\n"
            "Failed to load volume, device: /dev/ubi0\n");
  sim::clear_console();
  volume("ubi0_1", "x");
  fs::remove(device.host("/sys/class/ubi/ubi0_1/name"));
  EXPECT_EQ(ubi_volumes_scan(&info, false), 2);
  EXPECT_NE(
      SimDevice::console(2).find("Failed to load volume, device: /dev/ubi0_1\n"
                                 "Failed to initialize volume \"ubi0_1\"\n"),
      std::string::npos);
}

TEST_F(UbiRecords, DuplicateNamesFindTheOneLoadedLast) {
  volume("ubi0_0", "same");
  UbiInfo info{"/dev/ubi0", nullptr};
  ubi_volumes_scan(&info, false);
  volume("ubi0_5", "same");
  ubi_volume_load(&info, "ubi0_5");
  EXPECT_EQ(ubi_volume_find(&info, "same")->id, 5);
}

TEST_F(UbiRecords, MtdViewMatchesTypeNameAndSize) {
  volume("ubi0_0", "rootfs", "5000\n");
  UbiInfo info{"/dev/ubi0", nullptr};
  ubi_volumes_scan(&info, false);
  MtdPartitionList list;
  auto add = [&](const char* name, const char* type, int64_t size, int index) {
    auto p = std::make_unique<MtdPartition>();
    p->name = name;
    p->type = type;
    p->size = size;
    p->index = index;
    p->next = std::move(list.head);
    list.head = std::move(p);
  };
  add("rootfs", "nand", 5000, 1);
  add("rootfs", "ubi", 5001, 2);
  EXPECT_EQ(ubi_volume_mtd(info.volumes.get(), &list), nullptr);
  add("rootfs", "ubi", 5000, 3);
  ASSERT_NE(ubi_volume_mtd(info.volumes.get(), &list), nullptr);
  EXPECT_EQ(ubi_volume_mtd(info.volumes.get(), &list)->index, 3);
  EXPECT_EQ(ubi_volume_mtd(nullptr, &list), nullptr);
  EXPECT_EQ(ubi_volume_mtd(info.volumes.get(), nullptr), nullptr);
}

TEST_F(UbiRecords, PrintsEachVolumeOnFiveLines) {
  volume("ubi0_0", "kernel");
  volume("ubi0_1", "rootfs", "0\n", "1\n", "1\n");
  UbiInfo info{"/dev/ubi0", nullptr};
  ubi_volume_load(&info, "ubi0_0");
  ubi_volume_load(&info, "ubi0_1");
  ubi_volumes_print(&info);
  EXPECT_EQ(SimDevice::console(1),
            "Volume: \n  name = rootfs\n  status = CORRUPTED  EMPTY  UPDATE \n"
            "  device = /dev/ubi0_1\n  sysfs = /sys/class/ubi/ubi0_1\n"
            "Volume: \n  name = kernel\n  status =\n"
            "  device = /dev/ubi0_0\n  sysfs = /sys/class/ubi/ubi0_0\n");
  sim::clear_console();
  UbiInfo none{"/dev/ubi0", nullptr};
  ubi_volumes_print(&none);
  EXPECT_EQ(SimDevice::console(1), "");
}

TEST_F(UbiRecords, DeviceNodeOfAVolume) {
  volume("ubi0_0", "a");
  UbiInfo info{"/dev/ubi0", nullptr};
  ubi_volumes_scan(&info, false);
  UbiVolume* v = info.volumes.get();
  EXPECT_STREQ(ubi_volume_device(v), "/dev/ubi0_0");
  struct stat st;
  ASSERT_EQ(os::stat("/dev/ubi0_0", &st), 0);
  EXPECT_EQ(st.st_rdev, makedev(240, 1));
  fs::remove(device.host("/sys/class/ubi/ubi0_0/dev"));
  EXPECT_STREQ(ubi_volume_device(v), "/dev/ubi0_0");  // existing: no sysfs
  EXPECT_EQ(SimDevice::console(2), "");
  fs::remove(device.host("/dev/ubi0_0"));
  EXPECT_EQ(ubi_volume_device(v), nullptr);
  EXPECT_NE(
      SimDevice::console(2).find("Failed to parse /sys/class/ubi/ubi0_0/dev\n"),
      std::string::npos);
  sim::clear_console();
  volume("ubi0_0", "a");
  fs::remove_all(device.host("/dev"));
  EXPECT_EQ(ubi_volume_device(v), nullptr);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to create device/dev/ubi0_0: No such file or directory\n");
  sim::clear_console();
  EXPECT_EQ(ubi_volume_device(nullptr), nullptr);
  UbiVolume bare;
  EXPECT_EQ(ubi_volume_device(&bare), nullptr);
  bare.device = "/dev/ubi0_3";
  EXPECT_EQ(ubi_volume_device(&bare), nullptr);
  EXPECT_EQ(SimDevice::console(2),
            "Cant get device: vol is null\n"
            "Cant get device: vol->device is null\n"
            "Cant get device: vol->sysfs is null for device: /dev/ubi0_3\n");
}
