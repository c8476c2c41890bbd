// The attached UBI device and its volumes, as sysfs describes them, and the
// requests that change them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "flash/mtd.h"

// Volume status bits; 0 is a sound volume.
constexpr uint8_t ubi_status_corrupted = 1;
constexpr uint8_t ubi_status_empty = 2;
constexpr uint8_t ubi_status_update = 4;

struct UbiVolume {
  std::optional<std::string> name;
  uint8_t status = 0;
  std::string device;  // /dev/ubi0_1
  std::string sysfs;   // /sys/class/ubi/ubi0_1
  int32_t id = 0;
  int32_t usable_eb_size = 0;
  int64_t data_bytes = 0;
  std::unique_ptr<UbiVolume> next;
};

struct UbiInfo {
  std::string device;                  // /dev/ubi0
  std::unique_ptr<UbiVolume> volumes;  // newest first
};

using UbiInfoPtr = std::unique_ptr<UbiInfo>;

// Every failure below is reported on stderr before the call returns (a
// sysfs reader's own line may come first); records returned belong to the
// UbiInfo they are in, which its holder frees by dropping the UbiInfoPtr.

// ---- records ----

// Loads the volume of sysfs entry "ubiN_M" and puts it at the front of the
// info's list: the volume, or null (no such entry, or its attributes cannot
// be read).
UbiVolume* ubi_volume_load(UbiInfo* info, const std::string& entry);
// Re-reads name, status, usable_eb_size and data_bytes: 0, or -1 with the
// name unset and the status bits found so far.
int ubi_volume_refresh(UbiVolume* vol);
// Loads the device's volumes (skip_known: only those not in the list yet):
// the number of "ubi*" entries listed, or negative when the listing fails.
int ubi_volumes_scan(UbiInfo* info, bool skip_known);
// Refreshes every volume (dropping those that fail) and scans for new ones:
// the scan's result.
int ubi_volumes_refresh(UbiInfo* info);
// The first volume in list order named exactly name, or null.
UbiVolume* ubi_volume_find(UbiInfo* info, const char* name);
// 0 for a volume that is there with no status bit set, else -1 (silent).
int ubi_volume_check(const UbiVolume* vol);
// The volume's node path (made from sysfs when missing), owned by the
// volume; null on failure.
const char* ubi_volume_device(UbiVolume* vol);
// The MTD partition of type "ubi" with the volume's name and size, owned by
// list; null when there is none (silent).
MtdPartition* ubi_volume_mtd(const UbiVolume* vol, MtdPartitionList* list);
// Writes the volume list to stdout.
void ubi_volumes_print(const UbiInfo* info);
// The kernel's read-only block device on the volume ("/dev/ubiblockN_M"),
// which squashfs can be mounted from where no mtdblock device of the
// volume exists: asked for with UBI_IOCVOLCRBLK unless the kernel has it
// already, its node made from sysfs when missing. The node's path, or
// nullopt (reported; errno from the failing call).
std::optional<std::string> ubi_volume_block_device(UbiVolume* vol);

// ---- control and attach ----

// Makes "/dev/ubi_ctrl" from sysfs unless it is there and writable: 0 or -1.
int ubi_ctrl_create();
// The info of device entry "ubiN" with its volumes, its node made when
// missing; null when the node cannot be had.
UbiInfoPtr ubi_info_load(const std::string& entry);
// Reuses the device already attached to the partition or attaches one:
// its info, or null. attach_error, when given, receives the errno of an
// attach the kernel refused (EINVAL: the partition holds data UBI cannot
// attach), else 0.
UbiInfoPtr ubi_attach(const MtdPartition* partition,
                      int* attach_error = nullptr);
// ubi_attach of the MTD partition of that name; null, silently, when there
// is no such partition.
UbiInfoPtr ubi_info_for_mtd(const char* mtd_name, int* attach_error = nullptr);
// Detaches the info's device: 0, or -1 (no digits in its path, no control
// node, or the kernel refuses: errno as it said). The records stay.
int ubi_detach(const UbiInfo* info);

// ---- create, remove, rename ----

// Creates a volume of size bytes (type_flag 1: dynamic, anything else:
// static) and loads it to the front of the list: the volume, or null (also
// when the kernel made it but it cannot be loaded). Its line names label
// when one is given (a volume made under a temporary name shows the name it
// is made for), else name.
UbiVolume* ubi_volume_create(UbiInfo* info, const std::string& name,
                             uint32_t size, int type_flag,
                             const char* label = nullptr);
// 0: removed, the record unlinked and freed. -1: the kernel refused (the
// record stays). -2: the device node cannot be opened (silent).
int ubi_volume_remove(UbiInfo* info, UbiVolume* vol);
struct UbiRename {
  std::string new_name;
  UbiVolume* vol;
};
// Renames up to 32 volumes in one request (names cut to 127 characters),
// then refreshes the list: 0, or -1 (more than 32, the node cannot be
// opened, or the kernel refuses; only the last is reported).
int ubi_volumes_rename(UbiInfo* info, int count, const UbiRename* renames);

// ---- writing ----

// Supplies up to count image bytes; 0 or less ends the image.
using volume_reader = ssize_t (*)(void* context, void* buffer, size_t count);

// A descriptor that takes exactly size bytes of the volume's update, or,
// when the volume's node is busy, the descriptor of its MTD partition; -1.
// The caller closes it.
int ubi_volume_open_update(UbiVolume* vol, uint32_t size);
// Writes the image of size bytes into the volume, one logical erase block
// per write, with a progress display (headed by label when given, else the
// volume's name): 0 only when all of it was written and the volume is sound
// afterwards; -1 otherwise (the caller reports).
[[nodiscard]] int ubi_volume_flash(UbiVolume* vol, volume_reader reader,
                                   void* context, uint32_t size,
                                   const char* label = nullptr);
// The same from a file descriptor (size 0: the file's size; a file of 4 GiB
// or more is refused).
[[nodiscard]] int ubi_volume_flash_fd(UbiVolume* vol, int fd, uint32_t size);
