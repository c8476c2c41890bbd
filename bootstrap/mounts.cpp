#include "bootstrap/mounts.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "boards/board.h"
#include "bootstrap/filesystem_signature.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/run_program.h"
#include "common/sysfs.h"
#include "common/wait_for_path.h"

namespace {

constexpr uint32_t medium_flags =
    MS_NODEV | MS_NOEXEC | MS_NOATIME | MS_NODIRATIME;
constexpr unsigned long virtual_fs_flags =
    MS_NOEXEC | MS_NOATIME | MS_NODIRATIME;
constexpr unsigned long remount_flags = medium_flags | MS_REMOUNT;
constexpr unsigned long root_flags = MS_RDONLY | MS_NODEV;

int not_found(const StorageMedium& medium) {
  emit_line(2, "Failed to find ", medium.device, " partition");
  return -2;
}

// mke2fs on the card, waited for.
int run_mke2fs() {
  emit_line(2, "Formatting ", mmc_medium.device);
  // No "-c": an SD card remaps bad sectors inside itself, so reading every
  // block (badblocks) finds nothing, and on a card of a few GB it takes
  // longer than the whole 300-second budget.
  const char* const argv[] = {
      "/sbin/mke2fs",    "-t",   "ext3", "-j", "-O", "has_journal", "-v",
      mmc_medium.device, nullptr};
  static const char* const envp[] = {nullptr};
  return run_program(argv, envp);
}

int remount_rw(const StorageMedium& medium, const char* mount_point) {
  return os::mount(medium.device, mount_point, medium.fstype, remount_flags,
                   nullptr);
}

}  // namespace

int format_card(const char* mount_point, uint32_t wait_ms, unsigned options) {
  if (os::access(mmc_medium.device, R_OK) != 0 || run_mke2fs() != 0) {
    return -3;
  }
  int r = mount_storage(mmc_medium, mount_point, wait_ms);
  if (r == 0 && (options & MOUNT_RW))
    return remount_rw(mmc_medium, mount_point);
  return r;
}

// The kernel refuses to mount a medium without a file system of the type
// asked for (blank, or another file system) with EINVAL.
bool no_filesystem(int mount_error) { return mount_error == EINVAL; }

bool card_is_blank(int mount_error) {
  if (!no_filesystem(mount_error)) return false;
  if (!holds_filesystem(mmc_medium.device)) return true;
  emit_line(2, "Not formatting ", mmc_medium.device,
            ": it holds another file system");
  return false;
}

// The board's: device_board() is the selected board, constant data.
const StorageMedium mmc_medium = {device_board().card.device,
                                  device_board().card.sysfs,
                                  device_board().card.fstype, medium_flags};
const StorageMedium usb_medium = {device_board().stick.device,
                                  device_board().stick.sysfs,
                                  device_board().stick.fstype, medium_flags};

int is_mounted_at(const char* device, const char* mount_point) {
  if (device == nullptr || mount_point == nullptr) return 0;
  struct stat node, point;
  if (os::stat(device, &node) != 0 || os::stat(mount_point, &point) != 0)
    return 0;
  return node.st_rdev == point.st_dev ? 1 : 0;
}

int is_mount_point(const char* path) {
  if (path == nullptr) return 0;
  struct stat root, st;
  if (os::stat("/", &root) != 0 || os::stat(path, &st) != 0) return 0;
  return root.st_dev != st.st_dev ? 1 : 0;
}

int mount_virtual_fs(const char* path, const char* type) {
  emit_line(1, "Mounting ", type);
  return os::mount(type, path, type, virtual_fs_flags, nullptr);
}

int mount_storage(const StorageMedium& medium, const char* mount_point,
                  uint32_t wait_ms) {
  if (is_mounted_at(medium.device, mount_point)) return 0;
  if (os::access(medium.device, R_OK) != 0) {
    if (os::access(medium.sysfs, R_OK) != 0 &&
        (wait_ms == 0 || wait_for_path(medium.sysfs, wait_ms) != 0)) {
      return not_found(medium);
    }
    switch (
        make_node_from_sysfs(medium.device, medium.sysfs, block_node_mode)) {
      case NodeMade::no_number:
        emit_line(2, "Failed to parse ", medium.sysfs, "/dev");
        return not_found(medium);
      case NodeMade::no_node:
        emit_line(2, "Failed to create device ", medium.device, ": ",
                  errno_text());
        return not_found(medium);
      case NodeMade::made:
        break;
    }
  }
  emit_line(1, "Mounting ", medium.device);
  if (os::mount(medium.device, mount_point, medium.fstype,
                medium.flags | MS_RDONLY, nullptr) != 0) {
    int error = errno;  // the caller decides on it
    emit_line(2, "Failed to mount ", medium.device, ": ", errno_text());
    errno = error;
    return -3;
  }
  return 0;
}

int mount_medium(MediumId id, const char* mount_point, uint32_t wait_ms,
                 unsigned options) {
  switch (id) {
    case MEDIUM_SYSFS:
      return is_mount_point("/sys") ? 0 : mount_virtual_fs("/sys", "sysfs");
    case MEDIUM_PROC:
      return is_mount_point("/proc") ? 0 : mount_virtual_fs("/proc", "proc");
    case MEDIUM_USB: {
      int r = mount_storage(usb_medium, mount_point, wait_ms);
      if (r == 0 && (options & MOUNT_RW))
        return remount_rw(usb_medium, mount_point);
      return r;
    }
    case MEDIUM_MMC: {
      int r = mount_storage(mmc_medium, mount_point, wait_ms);
      if (r == -3) {
        // Formatting only a card that holds no file system the kernel can
        // mount: never a missing card, nor one that failed for a passing
        // reason (busy, a read error), which would lose what it holds.
        if (!(options & MOUNT_FORMAT) || !card_is_blank(errno)) return -3;
        return format_card(mount_point, wait_ms, options);
      }
      if (r == 0 && (options & MOUNT_RW))
        return remount_rw(mmc_medium, mount_point);
      return r;
    }
    default:
      return -1;
  }
}

int umount_device(const char* device, const char* mount_point) {
  if (!is_mounted_at(device, mount_point)) return 0;
  emit_line(1, "Unmounting ", device, " partition");
  if (os::umount2(mount_point, 0) != 0) {
    emit_line(2, "Failed to umount ", device, ": ", errno_text());
    return -1;
  }
  return 0;
}

int umount_medium(MediumId id, const char* mount_point) {
  if (id == MEDIUM_MMC) return umount_device(mmc_medium.device, mount_point);
  if (id == MEDIUM_USB) return umount_device(usb_medium.device, mount_point);
  return -1;
}

int medium_is_mounted(MediumId id, const char* path) {
  if (id == MEDIUM_MMC) return is_mounted_at(mmc_medium.device, path);
  if (id == MEDIUM_USB) return is_mounted_at(usb_medium.device, path);
  if (id == MEDIUM_SYSFS || id == MEDIUM_PROC) return is_mount_point(path);
  return -1;
}

namespace {

// The root image is squashfs, mounted read-only whatever its device.
int mount_root_device(const char* device, const char* target) {
  struct stat st;
  if (os::stat(target, &st) != 0) {
    emit_line(2, "given path does not exist !!!", target);
  }
  int rc = os::mount(device, target, "squashfs", root_flags, nullptr);
  if (rc != 0) {
    emit_line(2, "Failed to mount root (", device, "): ", errno_text());
  }
  return rc;
}

}  // namespace

bool has_block_device(const MtdPartition* partition) {
  struct stat st;
  return partition != nullptr &&
         os::stat(partition->block_sysfs.c_str(), &st) == 0;
}

int mount_root(MtdPartition* partition, const char* target) {
  if (partition == nullptr || target == nullptr) return -1;
  const char* device = mtd_block_device(partition);
  if (device == nullptr) {
    emit_line(2, "Failed to find block device");
    return -1;
  }
  return mount_root_device(device, target);
}

int mount_root_volume(UbiVolume* vol, const char* target) {
  if (vol == nullptr || target == nullptr) return -1;
  std::optional<std::string> device = ubi_volume_block_device(vol);
  if (!device) return -1;
  emit_line(1, "No mtd block device for volume ", vol->name.value_or(""),
            ", falling back on ", *device);
  return mount_root_device(device->c_str(), target);
}
