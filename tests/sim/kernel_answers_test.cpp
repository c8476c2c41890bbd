// The simulated kernel's answers to the flash's calls, checked directly: each
// row a call on a device in a given state, the result and errno the kernel
// gives, and the kernel source that gives them (the flash check compares
// the same calls with the real kernel on the emulated device).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "common/os.h"
#include "tests/sim_device.h"

namespace {

// A node of the flash, made with its device number, and opened.
int node(const char* path, unsigned major, unsigned minor, int flags) {
  os::mknod(path, S_IFCHR | 0600, makedev(major, minor));
  return os::open(path, flags);
}

int attach(int ctrl, int mtd) {
  ubi_attach_req req{};
  req.ubi_num = UBI_DEV_NUM_AUTO;
  req.mtd_num = mtd;
  return os::ioctl(ctrl, UBI_IOCATT, &req);
}

int make_volume(int ubi, const std::string& name, int64_t bytes,
                int type = UBI_STATIC_VOLUME) {
  ubi_mkvol_req req{};
  req.vol_id = UBI_VOL_NUM_AUTO;
  req.alignment = 1;
  req.bytes = bytes;
  req.vol_type = static_cast<int8_t>(type);
  req.name_len = static_cast<int16_t>(name.size());
  std::memcpy(req.name, name.data(),
              std::min<size_t>(name.size(), sizeof req.name - 1));
  return os::ioctl(ubi, UBI_IOCMKVOL, &req);
}

// The UBI device of the board's partition, attached, with one static
// volume "a" of 1 MiB.
int attached_with_a_volume() {
  int ctrl = node("/dev/ubi_ctrl", 10, 125, O_RDWR);
  attach(ctrl, 0);
  int ubi = node("/dev/ubi0", 250, 0, O_RDWR);
  make_volume(ubi, "a", 1 << 20);
  return ubi;
}

struct Row {
  const char* what;
  const char* source;         // where the kernel gives this answer
  std::function<int()> call;  // the state made, then the call made
  int result;
  int error;
};

const Row rows[] = {
    {"a second attach of one partition", "drivers/mtd/ubi/build.c",
     [] {
       int ctrl = node("/dev/ubi_ctrl", 10, 125, O_RDWR);
       attach(ctrl, 0);
       return attach(ctrl, 0);
     },
     -1, EEXIST},
    {"an attach of an MTD that does not exist", "drivers/mtd/ubi/build.c",
     [] { return attach(node("/dev/ubi_ctrl", 10, 125, O_RDWR), 7); }, -1,
     ENODEV},
    {"a detach of a device that is not attached", "drivers/mtd/ubi/build.c",
     [] {
       int32_t num = 3;
       return os::ioctl(node("/dev/ubi_ctrl", 10, 125, O_RDWR), UBI_IOCDET,
                        &num);
     },
     -1, EINVAL},
    {"a detach while a volume is open", "drivers/mtd/ubi/build.c",
     [] {
       attached_with_a_volume();
       node("/dev/ubi0_0", 250, 1, O_RDONLY);
       int32_t num = 0;
       return os::ioctl(os::open("/dev/ubi_ctrl", O_RDWR), UBI_IOCDET, &num);
     },
     -1, EBUSY},
    {"a volume under a name that is taken", "drivers/mtd/ubi/vmt.c",
     [] { return make_volume(attached_with_a_volume(), "a", 4096); }, -1,
     EEXIST},
    {"a volume larger than the free erase blocks", "drivers/mtd/ubi/vmt.c",
     [] { return make_volume(attached_with_a_volume(), "b", 1ll << 30); }, -1,
     ENOSPC},
    {"a name longer than 127 bytes", "drivers/mtd/ubi/cdev.c",
     [] {
       int ubi = attached_with_a_volume();
       ubi_mkvol_req req{};
       req.vol_id = UBI_VOL_NUM_AUTO;
       req.alignment = 1;
       req.bytes = 4096;
       req.vol_type = UBI_STATIC_VOLUME;
       req.name_len = UBI_MAX_VOLUME_NAME + 1;
       return os::ioctl(ubi, UBI_IOCMKVOL, &req);
     },
     -1, ENAMETOOLONG},
    {"the removal of a volume held open", "drivers/mtd/ubi/vmt.c",
     [] {
       int ubi = attached_with_a_volume();
       node("/dev/ubi0_0", 250, 1, O_RDONLY);
       int32_t id = 0;
       return os::ioctl(ubi, UBI_IOCRMVOL, &id);
     },
     -1, EBUSY},
    {"two volumes renamed to one name", "drivers/mtd/ubi/cdev.c",
     [] {
       int ubi = attached_with_a_volume();
       make_volume(ubi, "b", 4096);
       ubi_rnvol_req req{};
       req.count = 2;
       for (int i = 0; i < 2; ++i) {
         req.ents[i].vol_id = i;
         req.ents[i].name_len = 1;
         req.ents[i].name[0] = 'c';
       }
       return os::ioctl(ubi, UBI_IOCRNVOL, &req);
     },
     -1, EINVAL},
    {"an update larger than the volume", "drivers/mtd/ubi/cdev.c",
     [] {
       attached_with_a_volume();
       int64_t bytes = 2 << 20;
       return os::ioctl(node("/dev/ubi0_0", 250, 1, O_RDWR), UBI_IOCVOLUP,
                        &bytes);
     },
     -1, EINVAL},
    {"a write with no update under way", "drivers/mtd/ubi/cdev.c",
     [] {
       attached_with_a_volume();
       return static_cast<int>(
           os::write(node("/dev/ubi0_0", 250, 1, O_RDWR), "x", 1));
     },
     -1, EPERM},
    {"an erase of half an erase block", "drivers/mtd/nand/raw/nand_base.c",
     [] {
       erase_info_user e{0, 64 << 10};
       return os::ioctl(node("/dev/mtd0", 90, 0, O_RDWR), MEMERASE, &e);
     },
     -1, EINVAL},
    {"a bad-block test past the partition", "drivers/mtd/mtdcore.c",
     [] {
       int64_t offset = 128ll << 20;
       return os::ioctl(node("/dev/mtd0", 90, 0, O_RDONLY), MEMGETBADBLOCK,
                        &offset);
     },
     -1, EINVAL},
    {"a write through a static volume's MTD", "drivers/mtd/ubi/gluebi.c",
     [] {
       attached_with_a_volume();
       std::string page(2048, 'p');
       return static_cast<int>(os::write(node("/dev/mtd1", 90, 2, O_RDWR),
                                         page.data(), page.size()));
     },
     -1, EROFS},
};

}  // namespace

TEST(SimKernelAnswers, AsTheKernelGivesThem) {
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.what) + " (" + row.source + ")");
    SimDevice device;
    errno = 0;
    int result = row.call();
    int error = errno;
    EXPECT_EQ(result, row.result);
    if (row.result < 0) {
      EXPECT_EQ(error, row.error) << std::strerror(error);
    }
  }
}
