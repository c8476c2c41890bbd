#include <sys/stat.h>

#include <cstring>

#include "common/decimal.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/sysfs.h"
#include "flash/sysfs_dir.h"
#include "flash/ubi.h"

namespace {

constexpr char ubi_class[] = "/sys/class/ubi";

int refresh_failed(const std::string& what) {
  emit_line(2, "Failed to update volume: ", what);
  return -1;
}

// The zero test of one flag attribute; a set flag adds bit.
int read_flag(UbiVolume* vol, const char* attribute, bool set_when_zero,
              uint8_t bit) {
  int zero = sysfs_attr_is_zero(vol->sysfs, attribute);
  if (zero < 0) {
    return refresh_failed("sysfs file " + vol->sysfs + "/" + attribute +
                          " is zero error");
  }
  if ((zero == 1) == set_when_zero) vol->status |= bit;
  return 0;
}

}  // namespace

int ubi_volume_refresh(UbiVolume* vol) {
  if (vol == nullptr) return refresh_failed("vol is null");
  vol->name.reset();
  vol->status = 0;
  if (read_flag(vol, "corrupted", false, ubi_status_corrupted) ||
      read_flag(vol, "data_bytes", true, ubi_status_empty) ||
      read_flag(vol, "upd_marker", false, ubi_status_update)) {
    return -1;
  }
  if (sysfs_read_int(vol->sysfs, "usable_eb_size", &vol->usable_eb_size)) {
    return refresh_failed("can't read sysfs file " + vol->sysfs +
                          "/usable_eb_size");
  }
  if (sysfs_read_int64(vol->sysfs, "data_bytes", &vol->data_bytes)) {
    return refresh_failed("can't read sysfs file " + vol->sysfs +
                          "/data_bytes");
  }
  std::optional<std::string> name = sysfs_read_string(vol->sysfs, "name");
  if (!name) {
    return refresh_failed("can't read sysfs file " + vol->sysfs + "/name");
  }
  vol->name = std::move(name);
  return 0;
}

UbiVolume* ubi_volume_load(UbiInfo* info, const std::string& entry) {
  auto vol = std::make_unique<UbiVolume>();
  vol->device = "/dev/" + entry;
  vol->sysfs = std::string(ubi_class) + "/" + entry;
  struct stat st;
  size_t underscore = vol->device.find('_');
  bool ok =
      os::stat(vol->sysfs.c_str(), &st) == 0 && underscore != std::string::npos;
  if (ok) {
    uint32_t id = 0;
    parse_decimal(vol->device.c_str() + underscore + 1, &id);
    vol->id = static_cast<int32_t>(id);
    ok = ubi_volume_refresh(vol.get()) == 0;
  }
  if (!ok) {
    emit_line(2, "Failed to load volume, device: ", vol->device);
    return nullptr;
  }
  vol->next = std::move(info->volumes);
  info->volumes = std::move(vol);
  return info->volumes.get();
}

int ubi_volumes_scan(UbiInfo* info, bool skip_known) {
  const std::string device_name = info->device.substr(5);  // after "/dev/"
  int entries = 0;
  bool listed = list_sysfs_dir(ubi_class, [&](const char* entry) {
    if (std::strncmp(entry, "ubi", 3) != 0) return;
    ++entries;
    // ubi1 must not claim ubi10_0: the device name ends at the underscore.
    if (std::strncmp(entry, device_name.c_str(), device_name.size()) != 0 ||
        entry[device_name.size()] != '_') {
      return;
    }
    if (skip_known) {
      for (UbiVolume* v = info->volumes.get(); v != nullptr;
           v = v->next.get()) {
        if (v->device.compare(5, std::string::npos, entry) == 0) return;
      }
    }
    if (ubi_volume_load(info, entry) == nullptr) {
      emit_line(2, "Failed to initialize volume \"", entry, "\"");
    }
  });
  if (!listed) {
    emit_line(2, "Failed to read /sys/class/ubi");
    return -1;
  }
  return entries;
}

int ubi_volumes_refresh(UbiInfo* info) {
  for (std::unique_ptr<UbiVolume>* link = &info->volumes; *link;) {
    if (ubi_volume_refresh(link->get()) != 0) {
      *link = std::move((*link)->next);  // drops the volume
    } else {
      link = &(*link)->next;
    }
  }
  return ubi_volumes_scan(info, true);
}

UbiVolume* ubi_volume_find(UbiInfo* info, const char* name) {
  if (info == nullptr || name == nullptr) return nullptr;
  for (UbiVolume* v = info->volumes.get(); v != nullptr; v = v->next.get()) {
    if (v->name && *v->name == name) return v;
  }
  return nullptr;
}

int ubi_volume_check(const UbiVolume* vol) {
  return vol != nullptr && vol->status == 0 ? 0 : -1;
}

const char* ubi_volume_device(UbiVolume* vol) {
  if (vol == nullptr) {
    emit_line(2, "Cant get device: vol is null");
    return nullptr;
  }
  if (vol->device.empty()) {
    emit_line(2, "Cant get device: vol->device is null");
    return nullptr;
  }
  if (vol->sysfs.empty()) {
    emit_line(2,
              "Cant get device: vol->sysfs is null for device: ", vol->device);
    return nullptr;
  }
  struct stat st;
  if (os::stat(vol->device.c_str(), &st) == 0) return vol->device.c_str();
  switch (
      make_node_from_sysfs(vol->device.c_str(), vol->sysfs, char_node_mode)) {
    case NodeMade::no_number:
      emit_line(2, "Failed to parse ", vol->sysfs, "/dev");
      return nullptr;
    case NodeMade::no_node:
      emit_line(2, "Failed to create device", vol->device, ": ", errno_text());
      return nullptr;
    case NodeMade::made:
      break;
  }
  return vol->device.c_str();
}

MtdPartition* ubi_volume_mtd(const UbiVolume* vol, MtdPartitionList* list) {
  if (vol == nullptr || list == nullptr || !vol->name) return nullptr;
  for (MtdPartition* p = list->head.get(); p != nullptr; p = p->next.get()) {
    if (p->type == "ubi" && p->name == *vol->name &&
        p->size == vol->data_bytes) {
      return p;
    }
  }
  return nullptr;
}

void ubi_volumes_print(const UbiInfo* info) {
  auto out = [](std::string_view text) {
    (void)!os::write(1, text.data(), text.size());
  };
  for (const UbiVolume* v = info->volumes.get(); v != nullptr;
       v = v->next.get()) {
    out("Volume: ");
    out("\n  name = ");
    out(v->name ? *v->name : "null");
    out("\n  status =");
    if (v->status & ubi_status_corrupted) out(" CORRUPTED ");
    if (v->status & ubi_status_empty) out(" EMPTY ");
    if (v->status & ubi_status_update) out(" UPDATE ");
    out("\n  device = ");
    out(v->device.empty() ? "null" : v->device);
    out("\n  sysfs = ");
    out(v->sysfs.empty() ? "null" : v->sysfs);
    out("\n");
  }
}
