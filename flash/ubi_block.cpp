#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/ubi-user.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/sysfs.h"
#include "common/unique_fd.h"
#include "flash/ubi.h"

std::optional<std::string> ubi_volume_block_device(UbiVolume* vol) {
  const char* volume_node = ubi_volume_device(vol);
  if (volume_node == nullptr) return std::nullopt;
  // "/sys/class/ubi/ubi0_1" names the block device "ubiblock0_1".
  std::string suffix = vol->sysfs.substr(vol->sysfs.rfind("/ubi") + 4);
  std::string node = "/dev/ubiblock" + suffix;
  std::string sysfs = "/sys/class/block/ubiblock" + suffix;
  struct stat st;
  if (os::stat(sysfs.c_str(), &st) != 0) {
    unique_fd fd(os::open(volume_node, O_RDONLY));
    if (!fd.ok()) {
      emit_line(2, "Failed to open ", volume_node, ": ", errno_text());
      return std::nullopt;
    }
    ubi_blkcreate_req request{};
    if (os::ioctl(fd.get(), UBI_IOCVOLCRBLK, &request) != 0 &&
        errno != EEXIST) {
      emit_line(2, "Failed to create UBI block device ", node, ": ",
                errno_text());
      return std::nullopt;
    }
  }
  if (os::stat(node.c_str(), &st) == 0) return node;
  switch (make_node_from_sysfs(node.c_str(), sysfs, block_node_mode)) {
    case NodeMade::no_number:
      emit_line(2, "Failed to parse ", sysfs, "/dev");
      return std::nullopt;
    case NodeMade::no_node:
      emit_line(2, "Failed to create device ", node, ": ", errno_text());
      return std::nullopt;
    case NodeMade::made:
      break;
  }
  return node;
}
