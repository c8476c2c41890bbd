// Creating, removing, renaming and writing UBI volumes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <mtd/ubi-user.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "common/os.h"
#include "common/progress.h"
#include "flash/ubi.h"
#include "package/crc32.h"
#include "tests/sim_device.h"

namespace fs = std::filesystem;

namespace {

constexpr uint32_t leb = 129024;

class UbiVolumes : public ::testing::Test {
 protected:
  void SetUp() override {
    show_progress_forget_terminal();
    sim::set_console_terminal(false);
    info = ubi_info_for_mtd("nand0.ubi");
    ASSERT_TRUE(info);
  }
  void TearDown() override { show_progress_forget_terminal(); }

  // The volume's node read back whole.
  std::string read_back(const std::string& node) {
    int fd = os::open(node.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << node;
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = os::read(fd, buf, sizeof buf)) > 0)
      out.append(buf, static_cast<size_t>(n));
    os::close(fd);
    return out;
  }

  SimDevice device;
  UbiInfoPtr info;
};

// Hands out an image and records each request.
struct Image {
  explicit Image(std::string d, ssize_t fails_after = -1)
      : data(std::move(d)), fail_after(fails_after) {}
  std::string data;
  size_t pos = 0;
  std::vector<size_t> asked;
  ssize_t fail_after = -1;  // requests before it fails
  static ssize_t read(void* context, void* buffer, size_t count) {
    auto* self = static_cast<Image*>(context);
    self->asked.push_back(count);
    if (self->fail_after >= 0 &&
        self->asked.size() > static_cast<size_t>(self->fail_after)) {
      return -1;
    }
    size_t n = std::min(count, self->data.size() - self->pos);
    std::memcpy(buffer, self->data.data() + self->pos, n);
    self->pos += n;
    return static_cast<ssize_t>(n);
  }
};

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + i / 977);
  return s;
}

}  // namespace

TEST_F(UbiVolumes, CreateLoadsTheNewVolume) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", 300000, 0);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v, ubi_volume_find(info.get(), "rootfs"));
  EXPECT_EQ(v->device, "/dev/ubi0_0");
  EXPECT_EQ(v->usable_eb_size, static_cast<int32_t>(leb));
  EXPECT_EQ(v->data_bytes, 0);  // static: nothing written yet
  EXPECT_EQ(v->status, ubi_status_empty);
  EXPECT_EQ(device.get("/sys/class/ubi/ubi0_0/type"), "static\n");
  EXPECT_EQ(device.get("/sys/class/ubi/ubi0_0/reserved_ebs"), "3\n");
  EXPECT_EQ(SimDevice::console(2), "Creating volume: rootfs\n");

  UbiVolume* d = ubi_volume_create(info.get(), "data", 1000, 1);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->id, 1);
  EXPECT_EQ(d->data_bytes, leb);  // dynamic: its whole size
  EXPECT_EQ(d->status, 0);
  ASSERT_NE(ubi_volume_create(info.get(), "other", 1000, 2), nullptr);
  EXPECT_EQ(device.get("/sys/class/ubi/ubi0_2/type"), "static\n");
}

TEST_F(UbiVolumes, NameLengthLimitIsCheckedBeforeTheNodeIsOpened) {
  EXPECT_NE(ubi_volume_create(info.get(), std::string(127, 'n'), 1000, 0),
            nullptr);
  sim::clear_console();
  fs::remove(device.host("/dev/ubi0"));  // an open would fail
  EXPECT_EQ(ubi_volume_create(info.get(), std::string(128, 'n'), 1000, 0),
            nullptr);
  EXPECT_EQ(SimDevice::console(2),
            "Creating volume: " + std::string(128, 'n') +
                "\nFailed to create volume: Volume name too long\n");
  sim::clear_console();
  EXPECT_EQ(ubi_volume_create(info.get(), "x", 1000, 0), nullptr);
  EXPECT_EQ(
      SimDevice::console(2),
      "Creating volume: x\nFailed to create volume: Could not open device\n");
}

TEST_F(UbiVolumes, TheKernelRefusesDuplicatesAndOverflow) {
  ASSERT_NE(ubi_volume_create(info.get(), "kernel", 1000, 0), nullptr);
  sim::clear_console();
  EXPECT_EQ(ubi_volume_create(info.get(), "kernel", 1000, 0), nullptr);
  // 1000 erase blocks are usable on this chip; one is taken.
  EXPECT_EQ(ubi_volume_create(info.get(), "huge", 1000 * leb, 0), nullptr);
  EXPECT_NE(ubi_volume_create(info.get(), "fits", 999 * leb, 0), nullptr);
  EXPECT_EQ(SimDevice::console(2),
            "Creating volume: kernel\nFailed to create volume: File exists\n"
            "Creating volume: huge\nFailed to create volume: No space left on "
            "device\n"
            "Creating volume: fits\n");
}

TEST_F(UbiVolumes, RemoveDropsTheRecordOnlyWhenTheKernelAgrees) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", 1000, 0);
  ASSERT_STREQ(ubi_volume_device(v), "/dev/ubi0_0");
  int held = os::open("/dev/ubi0_0", O_RDONLY);
  ASSERT_GE(held, 0);
  sim::clear_console();
  EXPECT_EQ(ubi_volume_remove(info.get(), v), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to rm volume (ioctl): Device or resource busy\n");
  EXPECT_EQ(ubi_volume_find(info.get(), "rootfs"), v);
  os::close(held);
  EXPECT_EQ(ubi_volume_remove(info.get(), v), 0);
  EXPECT_EQ(ubi_volume_find(info.get(), "rootfs"), nullptr);
  EXPECT_FALSE(fs::exists(device.host("/sys/class/ubi/ubi0_0")));

  UbiVolume* w = ubi_volume_create(info.get(), "kernel", 1000, 0);
  fs::remove(device.host("/dev/ubi0"));
  EXPECT_EQ(ubi_volume_remove(info.get(), w), -2);
  EXPECT_EQ(ubi_volume_find(info.get(), "kernel"), w);
}

// The simulated kernel changes its sysfs tree file by file as volumes come
// and go; after any churn it must hold what it holds made again from disk.
TEST_F(UbiVolumes, SysfsAfterChangesIsTheTreeMadeFromDisk) {
  auto snapshot = [&] {
    std::map<std::string, std::string> tree;
    for (const char* top :
         {"/sys/class/mtd", "/sys/class/ubi", "/sys/class/block"}) {
      for (const auto& e : fs::recursive_directory_iterator(device.host(top))) {
        std::string path = e.path().string().substr(device.host("").size());
        tree[path] = e.is_directory() ? "dir" : device.get(path);
      }
    }
    return tree;
  };
  UbiVolume* a = ubi_volume_create(info.get(), "a", 300000, 0);
  UbiVolume* b = ubi_volume_create(info.get(), "b", 1000, 1);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(ubi_volume_remove(info.get(), a), 0);
  UbiVolume* c = ubi_volume_create(info.get(), "c", 200000, 0);
  ASSERT_NE(c, nullptr);
  Image image(std::string(5000, 'c'));
  ASSERT_EQ(ubi_volume_flash(c, Image::read, &image, 5000), 0);
  ASSERT_EQ(ubi_volume_remove(info.get(), b), 0);
  auto changed = snapshot();
  EXPECT_EQ(changed.at("/sys/class/ubi/ubi0_0/name"), "c\n");
  EXPECT_EQ(changed.at("/sys/class/ubi/ubi0_0/data_bytes"), "5000\n");
  EXPECT_EQ(changed.count("/sys/class/ubi/ubi0_1"), 0u);

  // Without its record of the tree, the next change of state makes the
  // tree again from what is on disk: stale entries removed, every text
  // compared.
  fs::remove(device.dir() + "/state/sysfs");
  int held = os::open("/dev/ubi0_0", O_RDONLY);
  ASSERT_GE(held, 0);
  os::close(held);
  EXPECT_EQ(snapshot(), changed);
}

TEST_F(UbiVolumes, RenameSendsUpTo32AndRefreshes) {
  UbiVolume* a = ubi_volume_create(info.get(), "rootfs", 1000, 0);
  UbiVolume* b = ubi_volume_create(info.get(), "rootfs_new", 1000, 0);
  sim::clear_console();
  // Swapping in the new volume: the old one of that name goes.
  UbiRename swap[] = {{"rootfs", b}};
  (void)a;
  EXPECT_EQ(ubi_volumes_rename(info.get(), 1, swap), 0);
  EXPECT_EQ(SimDevice::console(1), "Renaming:\n  rootfs_new -> rootfs\n");
  UbiVolume* now = ubi_volume_find(info.get(), "rootfs");
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->id, 1);
  EXPECT_EQ(ubi_volume_find(info.get(), "rootfs_new"), nullptr);
  EXPECT_EQ(info->volumes->next, nullptr);  // the old one was dropped

  sim::clear_console();
  std::string long_name(140, 'L');
  UbiRename cut[] = {{long_name, now}};
  EXPECT_EQ(ubi_volumes_rename(info.get(), 1, cut), 0);
  EXPECT_EQ(ubi_volume_find(info.get(), std::string(127, 'L').c_str()), now);

  sim::clear_console();
  EXPECT_EQ(ubi_volumes_rename(info.get(), 0, nullptr), 0);
  EXPECT_EQ(SimDevice::console(1), "Renaming:\n");

  std::vector<UbiRename> many(33, UbiRename{"x", now});
  fs::remove(device.host("/dev/ubi0"));  // would be opened otherwise
  sim::clear_console();
  EXPECT_EQ(ubi_volumes_rename(info.get(), 33, many.data()), -1);
  EXPECT_EQ(SimDevice::console(1), "");
}

TEST_F(UbiVolumes, RenameOf32AndARefusal) {
  std::vector<UbiRename> renames;
  for (int i = 0; i < 32; ++i) {
    UbiVolume* v =
        ubi_volume_create(info.get(), "v" + std::to_string(i), 1000, 0);
    ASSERT_NE(v, nullptr);
    renames.push_back({"w" + std::to_string(i), v});
  }
  EXPECT_EQ(ubi_volumes_rename(info.get(), 32, renames.data()), 0);
  EXPECT_NE(ubi_volume_find(info.get(), "w31"), nullptr);
  ASSERT_STREQ(ubi_volume_device(ubi_volume_find(info.get(), "w0")),
               "/dev/ubi0_0");
  int held = os::open("/dev/ubi0_0", O_RDONLY);
  ASSERT_GE(held, 0);
  // A held volume may be renamed (the kernel takes its metadata only), but
  // not removed by a rename that gives its name to another.
  UbiRename held_one[] = {{"again", ubi_volume_find(info.get(), "w0")}};
  EXPECT_EQ(ubi_volumes_rename(info.get(), 1, held_one), 0);
  UbiRename busy[] = {{"again", ubi_volume_find(info.get(), "w1")}};
  sim::clear_console();
  EXPECT_EQ(ubi_volumes_rename(info.get(), 1, busy), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to rename volumes: Device or resource busy\n");
  os::close(held);
}

TEST_F(UbiVolumes, RottenDataAreFoundAtTheFirstOpenAfterTheAttach) {
  // As the kernel: sysfs tells nothing of data that no longer match their
  // CRCs until the volume is opened (drivers/mtd/ubi/kapi.c,
  // ubi_open_volume, which runs ubi_check_volume once per attach).
  UbiVolume* v = ubi_volume_create(info.get(), "kernel", 5000, 0);
  Image image(pattern(5000));
  ASSERT_EQ(ubi_volume_flash(v, Image::read, &image, 5000), 0);
  ASSERT_EQ(ubi_detach(info.get()), 0);
  ASSERT_TRUE(sim::flash_rot_volume("kernel"));
  EXPECT_FALSE(sim::flash_rot_volume("nothing"));
  info = ubi_info_for_mtd("nand0.ubi");
  v = ubi_volume_find(info.get(), "kernel");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(ubi_volume_check(v), 0);
  EXPECT_NE(read_back("/dev/ubi0_0"), image.data);  // it still reads
  ASSERT_EQ(ubi_volume_refresh(v), 0);
  EXPECT_EQ(v->status, ubi_status_corrupted);
  // Forgotten at the next attach, found again at the next open.
  ASSERT_EQ(ubi_detach(info.get()), 0);
  info = ubi_info_for_mtd("nand0.ubi");
  EXPECT_EQ(ubi_volume_check(ubi_volume_find(info.get(), "kernel")), 0);
}

TEST_F(UbiVolumes, WholeLogicalBlocksAreOneWriteEach) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", 3 * leb + 1, 0);
  Image image(pattern(3 * leb + 1));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 3 * leb + 1), 0);
  EXPECT_EQ(image.asked, (std::vector<size_t>{leb, leb, leb, 1}));
  EXPECT_EQ(SimDevice::console(1), "Flashing \"rootfs\" ....\n");
  EXPECT_EQ(v->status, 0);
  EXPECT_EQ(v->data_bytes, 3 * leb + 1);
  EXPECT_EQ(read_back("/dev/ubi0_0"), image.data);

  UbiVolume* k = ubi_volume_create(info.get(), "kernel", 2 * leb, 0);
  Image exact(pattern(2 * leb));
  EXPECT_EQ(ubi_volume_flash(k, Image::read, &exact, 2 * leb), 0);
  EXPECT_EQ(exact.asked, (std::vector<size_t>{leb, leb}));
}

// An update's bytes reach the volume whole whatever the sizes of its writes
// (the device holds back an unfinished piece), and an update given up part
// way leaves in the volume what it was given.
TEST_F(UbiVolumes, AnUpdateHoldsItsBytesWhateverItsWrites) {
  const std::string image = pattern(3 * leb + 1);
  struct Case {
    size_t write, given;
  };
  const Case cases[] = {
      {1000, image.size()},   {leb, image.size()}, {128 << 10, image.size()},
      {300000, image.size()}, {leb, 2 * leb},      {1000, 200000}};
  UbiVolume* v = ubi_volume_create(info.get(), "data", 4 * leb, 1);
  ASSERT_NE(v, nullptr);
  const std::string node = ubi_volume_device(v);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.write) + " " + std::to_string(c.given));
    int fd = os::open(node.c_str(), O_RDWR);
    ASSERT_GE(fd, 0) << node << ": " << std::strerror(errno);
    auto bytes = static_cast<int64_t>(image.size());
    ASSERT_EQ(os::ioctl(fd, UBI_IOCVOLUP, &bytes), 0);
    for (size_t at = 0; at < c.given; at += c.write) {
      size_t n = std::min(c.write, c.given - at);
      ASSERT_EQ(os::write(fd, image.data() + at, n), static_cast<ssize_t>(n));
    }
    os::close(fd);
    // A dynamic volume reads erased flash past what was written.
    std::string expected =
        image.substr(0, c.given) + std::string(4 * leb - c.given, '\xff');
    if (c.given == image.size()) {
      EXPECT_EQ(read_back(node), expected);
      continue;
    }
    nlohmann::json shown = device.show()["volumes"][0];
    EXPECT_TRUE(shown["upd_marker"].get<bool>());
    char crc[9];
    std::snprintf(
        crc, sizeof crc, "%08x",
        ~crc32_feed(expected.data(), static_cast<long>(expected.size()), ~0u));
    EXPECT_EQ(shown["crc32"], crc);
  }
}

TEST_F(UbiVolumes, AShortImageLeavesTheVolumeUnderUpdate) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", 2 * leb, 0);
  Image image(pattern(leb + 10));
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 2 * leb), -1);
  EXPECT_EQ(v->status, ubi_status_update | ubi_status_empty);
  EXPECT_EQ(device.get("/sys/class/ubi/ubi0_0/upd_marker"), "1\n");

  Image failing(pattern(leb), 0);
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &failing, leb), -1);
  EXPECT_EQ(failing.asked.size(), 1u);
  EXPECT_TRUE(v->status & ubi_status_update);
  EXPECT_EQ(ubi_volume_flash(nullptr, Image::read, &failing, 1), -1);
  EXPECT_EQ(ubi_volume_flash(v, nullptr, &failing, 1), -1);
}

TEST_F(UbiVolumes, AWriteTakenOnlyInPartEndsTheUpdate) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", 2 * leb, 0);
  Image image(pattern(2 * leb));
  ASSERT_TRUE(sim::inject_fault("short-write", "", 1, EIO));
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 2 * leb), -1);
  EXPECT_EQ(image.asked.size(), 1u);  // nothing more was read
  EXPECT_TRUE(v->status & ubi_status_update);
}

TEST_F(UbiVolumes, ReaderThatGivesLessIsAskedForTheRest) {
  UbiVolume* v = ubi_volume_create(info.get(), "kernel", 5000, 0);
  struct Dribble {
    std::string data = pattern(5000);
    size_t pos = 0;
    static ssize_t read(void* c, void* buffer, size_t count) {
      auto* self = static_cast<Dribble*>(c);
      size_t n = std::min<size_t>({count, 1000, self->data.size() - self->pos});
      std::memcpy(buffer, self->data.data() + self->pos, n);
      self->pos += n;
      return static_cast<ssize_t>(n);
    }
  } dribble;
  EXPECT_EQ(ubi_volume_flash(v, Dribble::read, &dribble, 5000), 0);
  EXPECT_EQ(read_back("/dev/ubi0_0"), dribble.data);
}

TEST_F(UbiVolumes, ZeroBytesLeaveAStaticVolumeEmpty) {
  UbiVolume* v = ubi_volume_create(info.get(), "kernel", 5000, 0);
  Image image("");
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 0), -1);
  EXPECT_EQ(SimDevice::console(1), "Flashing \"kernel\" \n");
  EXPECT_EQ(v->status, ubi_status_empty);
  EXPECT_TRUE(image.asked.empty());
}

// A volume shows nothing of what an earlier volume of its number or an
// earlier update held: a static one reads nothing until its update and then
// only what that wrote, a dynamic one erased flash wherever nothing was.
TEST_F(UbiVolumes, ANewVolumeShowsNothingOfTheOldOne) {
  struct Case {
    int type;
    std::string before_update, after_update;
  };
  std::string shorter = pattern(leb + 10);
  const Case cases[] = {
      {0, "", shorter},
      {1, std::string(2 * leb, '\xff'),
       shorter + std::string(leb - 10, '\xff')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    UbiVolume* old = ubi_volume_create(info.get(), "old", 2 * leb, 0);
    Image full(pattern(2 * leb).replace(0, 3, "old"));
    ASSERT_EQ(ubi_volume_flash(old, Image::read, &full, 2 * leb), 0);
    ASSERT_EQ(ubi_volume_remove(info.get(), old), 0);

    UbiVolume* v = ubi_volume_create(info.get(), "new", 2 * leb, c.type);
    ASSERT_STREQ(ubi_volume_device(v), "/dev/ubi0_0");  // the old one's
    EXPECT_EQ(read_back("/dev/ubi0_0"), c.before_update);
    Image first(full.data);
    ASSERT_EQ(ubi_volume_flash(v, Image::read, &first, 2 * leb), 0);
    Image image(shorter);
    ASSERT_EQ(ubi_volume_flash(v, Image::read, &image, shorter.size()), 0);
    EXPECT_EQ(read_back("/dev/ubi0_0"), c.after_update);
    ASSERT_EQ(ubi_volume_remove(info.get(), v), 0);
  }
}

// What one process knows of the flash and of its sysfs tree gives way to
// what another did to them.
TEST_F(UbiVolumes, AChangeByAnotherProcessIsSeen) {
  const std::string avail = "/sys/class/ubi/ubi0/avail_eraseblocks";
  const std::string before = device.get(avail);
  sim::flash_fail_writes(true);
  pid_t child = os::fork();
  if (child == 0) {
    sim::flash_fail_writes(false);
    ubi_mkvol_req req{};
    req.vol_id = 5;
    req.alignment = 1;
    req.bytes = 2 * leb;
    req.vol_type = UBI_STATIC_VOLUME;
    req.name_len = 5;
    std::strcpy(req.name, "other");
    int ubi = os::open("/dev/ubi0", O_RDONLY);
    os::exit(ubi >= 0 && os::ioctl(ubi, UBI_IOCMKVOL, &req) == 0 ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(os::wait4(child, &status, 0, nullptr), child);
  ASSERT_EQ(status, 0);
  EXPECT_NE(device.get(avail), before);
  // Its removal here gives the erase blocks back, in the tree too.
  int ubi = os::open("/dev/ubi0", O_RDONLY);
  int32_t id = 5;
  ASSERT_EQ(os::ioctl(ubi, UBI_IOCRMVOL, &id), 0);
  os::close(ubi);
  EXPECT_EQ(device.get(avail), before);
  UbiVolume* v = ubi_volume_create(info.get(), "kernel", 5000, 0);
  Image image(pattern(5000));
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 5000), 0);
}

TEST_F(UbiVolumes, UpdateLargerThanTheVolumeIsRefused) {
  UbiVolume* v = ubi_volume_create(info.get(), "kernel", 5000, 0);
  Image image(pattern(2 * leb));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 2 * leb), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to write volume (ioctl): Invalid argument\n");
  EXPECT_EQ(SimDevice::console(1), "");
}

TEST_F(UbiVolumes, BusyVolumeFallsBackOnItsMtdDevice) {
  // A user of the volume's MTD view holds the volume: its node is busy, but
  // the MTD device can be opened again.
  UbiVolume* v = ubi_volume_create(info.get(), "data", 2 * leb, 1);
  auto list = mtd_partitions_load();
  MtdPartition* mtd = ubi_volume_mtd(v, list.get());
  ASSERT_NE(mtd, nullptr);
  EXPECT_EQ(mtd->type, "ubi");
  ASSERT_STREQ(mtd_char_device(mtd), "/dev/mtd1");
  int held = os::open("/dev/mtd1", O_RDONLY);
  ASSERT_GE(held, 0);
  Image image(pattern(2 * leb));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 2 * leb), 0);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open device: Device or resource busy\n");
  EXPECT_EQ(
      SimDevice::console(1),
      "Ubi volume busy, falling back on mtd device\nFlashing \"data\" ..\n");
  EXPECT_EQ(read_back("/dev/ubi0_0"), image.data);
  // No volume update tells a half-written image there: the writer does.
  Image half(pattern(leb));
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &half, 2 * leb), -1);
  // Pages already written are programmed again without an erase: the
  // writes are taken, and the pages fail their ECC when read.
  std::string other = pattern(2 * leb);
  for (char& c : other) c = static_cast<char>(~c);
  Image second(other);
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &second, 2 * leb), 0);
  int fd = os::open("/dev/ubi0_0", O_RDONLY);
  char page[2048];
  errno = 0;
  EXPECT_EQ(os::read(fd, page, sizeof page), -1);
  EXPECT_EQ(errno, EBADMSG);
  os::close(fd);
  os::close(held);
}

TEST_F(UbiVolumes, BusyStaticVolumeCannotBeWrittenThroughItsMtd) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", leb, 0);
  auto list = mtd_partitions_load();
  mtd_char_device(mtd_partition_find(list.get(), "rootfs"));
  int held = os::open("/dev/mtd1", O_RDONLY);
  Image image(pattern(leb));
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, leb), -1);
  EXPECT_EQ(v->status, ubi_status_empty);
  os::close(held);
}

TEST_F(UbiVolumes, VolumeHeldByAWriterHasNoFallback) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", leb, 0);
  ASSERT_STREQ(ubi_volume_device(v), "/dev/ubi0_0");
  int writer = os::open("/dev/ubi0_0", O_RDWR);
  ASSERT_GE(writer, 0);
  Image image(pattern(leb));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, leb), -1);
  // The MTD view of an empty static volume has size 0, not the volume's:
  // no partition matches, so no node is there to open.
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open device: Device or resource busy\n"
            "Failed to open fallback mtd deviceDevice or resource busy\n");
  os::close(writer);
}

TEST_F(UbiVolumes, NoNodeNoWrite) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", leb, 0);
  fs::remove(device.host("/sys/class/ubi/ubi0_0/dev"));
  Image image(pattern(leb));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, leb), -1);
  EXPECT_EQ(
      SimDevice::console(2),
      "Failed to open file /sys/class/ubi/ubi0_0/dev error: No such file or "
      "directory\n"
      "dev_str is null\n"
      "Failed to parse /sys/class/ubi/ubi0_0/dev\n"
      "Failed to get device\n");
}

TEST_F(UbiVolumes, ANewVolumeThatCannotBeLoaded) {
  sim::inject_fault("stat", "/sys/class/ubi/ubi0_0", 1, EIO);
  EXPECT_EQ(ubi_volume_create(info.get(), "rootfs", leb, 0), nullptr);
  EXPECT_EQ(
      SimDevice::console(2),
      "Creating volume: rootfs\nFailed to load volume, device: /dev/ubi0_0\n");
  // It exists in the flash, not in the list.
  EXPECT_EQ(ubi_volume_find(info.get(), "rootfs"), nullptr);
  EXPECT_EQ(ubi_volumes_refresh(info.get()), 2);
  EXPECT_NE(ubi_volume_find(info.get(), "rootfs"), nullptr);
}

TEST_F(UbiVolumes, ARefreshThatFailsAfterWriting) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", leb, 0);
  // Counted from here: the refresh after writing opens it first.
  sim::inject_fault("open", "/sys/class/ubi/ubi0_0/corrupted", 1, EIO);
  Image image(pattern(1000));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 1000), -1);
  EXPECT_EQ(
      SimDevice::console(2),
      "Failed to open file /sys/class/ubi/ubi0_0/corrupted error: Input/output "
      "error\n"
      "Failed to update volume: sysfs file /sys/class/ubi/ubi0_0/corrupted is "
      "zero error\n");
  EXPECT_FALSE(v->name);
  EXPECT_EQ(ubi_volume_find(info.get(), "rootfs"), nullptr);
}

TEST_F(UbiVolumes, RenameWithoutADeviceNode) {
  UbiVolume* v = ubi_volume_create(info.get(), "a", leb, 0);
  fs::remove(device.host("/dev/ubi0"));
  UbiRename r[] = {{"b", v}};
  sim::clear_console();
  EXPECT_EQ(ubi_volumes_rename(info.get(), 1, r), -1);
  EXPECT_EQ(SimDevice::console(1), "");
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(UbiVolumes, OtherOpenErrorsAreReported) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", leb, 0);
  ASSERT_STREQ(ubi_volume_device(v), "/dev/ubi0_0");
  int32_t id = 0;
  int node = os::open("/dev/ubi0", O_RDONLY);
  ASSERT_EQ(os::ioctl(node, UBI_IOCRMVOL, &id), 0);  // gone behind our back
  os::close(node);
  Image image(pattern(leb));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, leb), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open device: No such device or address\n"
            "Failed to open volumeNo such device or address\n");
}

TEST_F(UbiVolumes, FlashFromAFileDescriptor) {
  UbiVolume* v = ubi_volume_create(info.get(), "kernel", 10000, 0);
  std::string data = pattern(10000);
  device.put("/image", data);
  device.put("/empty", "");
  int fd = os::open("/image", O_RDONLY);
  EXPECT_EQ(ubi_volume_flash_fd(v, fd, 0), 0);
  os::close(fd);
  EXPECT_EQ(read_back("/dev/ubi0_0"), data);
  int empty = os::open("/empty", O_RDONLY);
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash_fd(v, empty, 0), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to fstat or size is zero\n");
  os::close(empty);
  // A volume takes a 32-bit size: 4 GiB is refused, not cut to 0.
  device.put("/huge", "");
  fs::resize_file(device.host("/huge"), 4ull << 30);
  int huge = os::open("/huge", O_RDONLY);
  sim::clear_console();
  EXPECT_EQ(ubi_volume_flash_fd(v, huge, 0), -1);
  EXPECT_EQ(SimDevice::console(2),
            "File too large for a volume: 4 GiB or more\n");
  os::close(huge);
  EXPECT_EQ(ubi_volume_flash_fd(nullptr, 0, 0), -1);
}

TEST_F(UbiVolumes, BlockDeviceOfAVolumeCreatedEmptyStaysEmptyUntilReattached) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", leb, 0);
  Image image(pattern(5000));
  ASSERT_EQ(ubi_volume_flash(v, Image::read, &image, 5000), 0);
  EXPECT_EQ(device.get("/sys/class/mtd/mtd1/size"), "5000\n");
  EXPECT_EQ(device.get("/sys/class/block/mtdblock1/size"), "0\n");
  ASSERT_EQ(ubi_detach(info.get()), 0);
  UbiInfoPtr again = ubi_info_for_mtd("nand0.ubi");
  ASSERT_TRUE(again);
  EXPECT_EQ(device.get("/sys/class/mtd/mtd1/name"), "rootfs\n");
  EXPECT_EQ(device.get("/sys/class/block/mtdblock1/size"),
            "9\n");  // 5000 / 512
}

TEST_F(UbiVolumes, DamagedWritesMarkAStaticVolumeCorrupted) {
  // The kernel checks a static volume once its update is complete; what it
  // holds can still be read.
  sim::flash_corrupt_writes(true);
  UbiVolume* v = ubi_volume_create(info.get(), "kernel", 5000, 0);
  Image image(pattern(5000));
  EXPECT_EQ(ubi_volume_flash(v, Image::read, &image, 5000), -1);
  EXPECT_EQ(v->status, ubi_status_corrupted);
  std::string back = read_back("/dev/ubi0_0");
  EXPECT_EQ(back.size(), 5000u);
  EXPECT_NE(back, image.data);
}

TEST_F(UbiVolumes, AReaderSeesWhatOthersDoToTheVolume) {
  // A descriptor kept open for reading reads what is on the flash now, and
  // holds the volume: an update needs it for itself, as the kernel's does.
  UbiVolume* v = ubi_volume_create(info.get(), "data", leb, 1);
  auto list = mtd_partitions_load();
  ASSERT_STREQ(mtd_char_device(ubi_volume_mtd(v, list.get())), "/dev/mtd1");
  ASSERT_STREQ(ubi_volume_device(v), "/dev/ubi0_0");
  int mtd = os::open("/dev/mtd1", O_RDWR);
  ASSERT_GE(mtd, 0);
  int reader = os::open("/dev/ubi0_0", O_RDONLY);
  ASSERT_GE(reader, 0);
  char buf[4096];
  ASSERT_EQ(os::read(reader, buf, sizeof buf), 4096);
  EXPECT_EQ(std::string(buf, 4096), std::string(4096, '\xff'));

  std::string data = pattern(2 * 4096);
  ASSERT_EQ(os::write(mtd, data.data(), data.size()), 8192);
  os::close(mtd);
  ASSERT_EQ(os::read(reader, buf, sizeof buf), 4096);
  EXPECT_EQ(std::string(buf, 4096), data.substr(4096));

  int64_t bytes = 4096;
  int writer = os::open("/dev/ubi0_0", O_RDWR);
  ASSERT_GE(writer, 0);
  errno = 0;
  EXPECT_EQ(os::ioctl(writer, UBI_IOCVOLUP, &bytes), -1);
  EXPECT_EQ(errno, EBUSY);
  os::close(writer);
  os::close(reader);
}

TEST_F(UbiVolumes, UbiBlockDeviceOfAVolume) {
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", 5000, 0);
  Image image(pattern(5000));
  ASSERT_EQ(ubi_volume_flash(v, Image::read, &image, 5000), 0);
  EXPECT_EQ(ubi_volume_block_device(v), "/dev/ubiblock0_0");
  // Whole sectors of what the volume holds.
  EXPECT_EQ(device.get("/sys/class/block/ubiblock0_0/size"), "9\n");
  // The kernel makes one per volume; asked again, it is taken as it is.
  int fd = os::open("/dev/ubi0_0", O_RDONLY);
  ubi_blkcreate_req request{};
  errno = 0;
  EXPECT_EQ(os::ioctl(fd, UBI_IOCVOLCRBLK, &request), -1);
  EXPECT_EQ(errno, EEXIST);
  os::close(fd);
  EXPECT_EQ(ubi_volume_block_device(v), "/dev/ubiblock0_0");
  // Read-only; open, it holds the volume.
  EXPECT_EQ(os::open("/dev/ubiblock0_0", O_RDWR), -1);
  EXPECT_EQ(errno, EROFS);
  int block = os::open("/dev/ubiblock0_0", O_RDONLY);
  ASSERT_GE(block, 0);
  char head[4];
  EXPECT_EQ(os::read(block, head, sizeof head), 4);
  EXPECT_EQ(std::string(head, 4), image.data.substr(0, 4));
  sim::clear_console();
  EXPECT_EQ(ubi_volume_remove(info.get(), v), -1);
  os::close(block);
  EXPECT_EQ(ubi_volume_remove(info.get(), v), 0);
  EXPECT_FALSE(fs::exists(device.host("/sys/class/block/ubiblock0_0")));
}

TEST(UbiBlock, AKernelWithoutThem) {
  sim::DeviceOptions o;
  o.nand.ubiblock = false;
  SimDevice device(o);
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  UbiVolume* v = ubi_volume_create(info.get(), "rootfs", 5000, 0);
  sim::clear_console();
  EXPECT_EQ(ubi_volume_block_device(v), std::nullopt);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to create UBI block device /dev/ubiblock0_0: "
            "Inappropriate ioctl for device\n");
}
