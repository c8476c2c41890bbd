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

// ---- records ----
UbiVolume* ubi_volume_load(UbiInfo* info, const std::string& entry);
int ubi_volume_refresh(UbiVolume* vol);
int ubi_volumes_scan(UbiInfo* info, bool skip_known);
int ubi_volumes_refresh(UbiInfo* info);
UbiVolume* ubi_volume_find(UbiInfo* info, const char* name);
int ubi_volume_check(const UbiVolume* vol);
const char* ubi_volume_device(UbiVolume* vol);
MtdPartition* ubi_volume_mtd(const UbiVolume* vol, MtdPartitionList* list);
void ubi_volumes_print(const UbiInfo* info);

// ---- control and attach ----
int ubi_ctrl_create();
UbiInfoPtr ubi_info_load(const std::string& entry);
UbiInfoPtr ubi_attach(const MtdPartition* partition);
UbiInfoPtr ubi_info_for_mtd(const char* mtd_name);
int ubi_detach(const UbiInfo* info);

// ---- create, remove, rename ----
// type_flag 1 makes a dynamic volume, anything else a static one.
UbiVolume* ubi_volume_create(UbiInfo* info, const std::string& name,
                             uint32_t size, int type_flag);
int ubi_volume_remove(UbiInfo* info, UbiVolume* vol);
struct UbiRename {
  std::string new_name;
  UbiVolume* vol;
};
int ubi_volumes_rename(UbiInfo* info, int count, const UbiRename* renames);

// ---- writing ----
// Supplies up to count image bytes; 0 or less ends the image.
using volume_reader = ssize_t (*)(void* context, void* buffer, size_t count);

int ubi_volume_open_update(UbiVolume* vol, uint32_t size);
int ubi_volume_flash(UbiVolume* vol, volume_reader reader, void* context,
                     uint32_t size);
int ubi_volume_flash_fd(UbiVolume* vol, int fd, uint32_t size);
