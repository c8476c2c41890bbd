// Mounting: sysfs and proc, the MMC card and the USB stick, the root image.
#pragma once

#include <cstdint>

#include "flash/mtd.h"
#include "flash/ubi.h"

struct StorageMedium {
  const char* device;  // device node
  const char* sysfs;   // sysfs directory of the block device
  const char* fstype;
  uint32_t flags;  // MS_NODEV | MS_NOEXEC | MS_NOATIME | MS_NODIRATIME
};

enum MediumId : unsigned {
  MEDIUM_MMC = 0,
  MEDIUM_USB = 1,
  MEDIUM_SYSFS = 2,
  MEDIUM_PROC = 3
};

constexpr unsigned MOUNT_RW = 1;      // remount read-write afterwards
constexpr unsigned MOUNT_FORMAT = 2;  // format the card when it won't mount

extern const StorageMedium mmc_medium;
extern const StorageMedium usb_medium;

// 0; -1 bad id, failed sysfs/proc mount or read-write remount; -2 medium
// not found or no node; -3 the mount failed (errno from the mount, or
// from mke2fs's run). MOUNT_FORMAT formats the card only when its mount
// failed for want of a file system (no_filesystem).
int mount_medium(MediumId id, const char* mount_point, uint32_t wait_ms,
                 unsigned options);
// Unmounts the card (MEDIUM_MMC) or the stick (MEDIUM_USB) from mount_point
// when it is mounted there: 0 (also when it was not), -1 when the unmount
// failed (reported) or for another id.
int umount_medium(MediumId id, const char* mount_point);
// 1 when the medium (for sysfs and proc: anything) is mounted at path, 0
// when not, -1 for an unknown id.
int medium_is_mounted(MediumId id, const char* path);
// Formats the card with mke2fs and mounts it (remounted read-write with
// MOUNT_RW): the results of mount_medium; -3 when the card's node is not
// readable or mke2fs fails.
int format_card(const char* mount_point, uint32_t wait_ms, unsigned options);
// Whether a mount's error number says the medium holds no file system of
// the type asked for, rather than a passing failure.
bool no_filesystem(int mount_error);
// Whether the card may be formatted after its mount failed with
// mount_error: the kernel refused it for want of the file system asked for
// (no_filesystem), and it holds no file system of any kind (a card of
// photos on vfat is refused the same way, and is never formatted).
bool card_is_blank(int mount_error);
// Waits up to wait_ms for the medium's sysfs entry, makes its node and
// mounts it read-only: 0 (also when it is already mounted there), -2 not
// found or no node, -3 the mount failed (reported; errno from the mount).
int mount_storage(const StorageMedium& medium, const char* mount_point,
                  uint32_t wait_ms);
// mount(2) of a virtual file system ("sysfs", "proc") at path: 0, or -1
// with errno from the mount. Nothing is printed.
int mount_virtual_fs(const char* path, const char* type);
// Unmounts device from mount_point when it is mounted there: 0 (also when
// it was not), -1 when the unmount failed (reported).
int umount_device(const char* device, const char* mount_point);
// 1 when the node device is the file system mounted at mount_point, else 0
// (also when either cannot be looked at).
int is_mounted_at(const char* device, const char* mount_point);
// 1 when path lies on another file system than "/", else 0.
int is_mount_point(const char* path);
// Mounts the partition's mtdblock device (made from sysfs when missing) at
// target as squashfs, read-only: 0, or -1 when there is no block device or
// the mount fails (each reported; errno from the mount).
int mount_root(MtdPartition* partition, const char* target);
// Whether the kernel offers an mtdblock device of the partition (its sysfs
// entry is there). Kernels since the upstream change that keeps
// mtdblock off UBI volumes' MTDs offer none.
bool has_block_device(const MtdPartition* partition);
// Mounts the root image as mount_root does, from the volume's UBI block
// device (made when the kernel has none yet), for where no mtdblock device
// of the volume can be had; says so on stdout before the mount. 0, or -1
// (reported).
int mount_root_volume(UbiVolume* vol, const char* target);
