#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/ubi-user.h>

#include <cstring>
#include <memory>

#include "common/decimal.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/unique_fd.h"
#include "flash/ubi.h"

static_assert(sizeof(ubi_mkvol_req) == 152);
static_assert(sizeof(ubi_rnvol_req) == 4368);
static_assert(sizeof(ubi_attach_req) == 24);

namespace {

constexpr size_t max_name = UBI_MAX_VOLUME_NAME;  // 127

UbiVolume* create_failed(const char* why) {
  emit_line(2, "Failed to create volume: ", why);
  return nullptr;
}

}  // namespace

UbiVolume* ubi_volume_create(UbiInfo* info, const std::string& name,
                             uint32_t size, int type_flag, const char* label) {
  emit_line(2, "Creating volume: ", label != nullptr ? label : name);
  ubi_mkvol_req request;
  std::memset(&request, 0, sizeof request);
  request.vol_id = UBI_VOL_NUM_AUTO;
  request.alignment = 1;
  request.bytes = static_cast<int64_t>(size);
  request.vol_type = type_flag == 1 ? UBI_DYNAMIC_VOLUME : UBI_STATIC_VOLUME;
  request.name_len = static_cast<int16_t>(name.size());
  if (name.size() > max_name) return create_failed("Volume name too long");
  name.copy(request.name, name.size());

  unique_fd node(os::open(info->device.c_str(), O_RDONLY));
  if (!node.ok()) return create_failed("Could not open device");
  if (os::ioctl(node.get(), UBI_IOCMKVOL, &request) != 0) {
    return create_failed(errno_text());
  }
  node.reset();
  if (request.vol_id < 0) return create_failed("volume id < 0");

  char id[11];
  format_decimal(id, static_cast<uint32_t>(request.vol_id));
  return ubi_volume_load(info, info->device.substr(5) + "_" + id);
}

int ubi_volume_remove(UbiInfo* info, UbiVolume* vol) {
  unique_fd node(os::open(info->device.c_str(), O_RDONLY));
  if (!node.ok()) return -2;
  int32_t id = vol->id;
  int rc = os::ioctl(node.get(), UBI_IOCRMVOL, &id);
  if (rc != 0) {
    emit_line(2, "Failed to rm volume (ioctl): ", errno_text());
    return rc;
  }
  node.reset();
  for (std::unique_ptr<UbiVolume>* link = &info->volumes; *link;
       link = &(*link)->next) {
    if (link->get() == vol) {
      *link = std::move(vol->next);  // frees the record
      break;
    }
  }
  return 0;
}

int ubi_volumes_rename(UbiInfo* info, int count, const UbiRename* renames) {
  if (count > UBI_MAX_RNVOL) return -1;
  unique_fd node(os::open(info->device.c_str(), O_RDONLY));
  if (!node.ok()) return -1;
  auto request = std::make_unique<ubi_rnvol_req>();
  std::memset(request.get(), 0, sizeof *request);
  emit_line(1, "Renaming:");
  request->count = count;
  for (int i = 0; i < count; ++i) {
    const UbiRename& r = renames[i];
    // The record is packed: its fields are set one by one.
    size_t length = std::min(r.new_name.size(), max_name);
    request->ents[i].vol_id = r.vol->id;
    request->ents[i].name_len = static_cast<int16_t>(length);
    r.new_name.copy(request->ents[i].name, length);
    emit_line(1, "  ", r.vol->name ? *r.vol->name : "", " -> ",
              std::string_view(r.new_name.data(), length));
  }
  if (os::ioctl(node.get(), UBI_IOCRNVOL, request.get()) != 0) {
    emit_line(2, "Failed to rename volumes: ", errno_text());
    return -1;
  }
  request.reset();
  node.reset();
  // A volume whose name went to a renamed one, and that was not renamed
  // itself, is gone: the kernel removed it in the same request. Its record
  // goes before the refresh, which would otherwise find it missing.
  for (std::unique_ptr<UbiVolume>* link = &info->volumes; *link;) {
    UbiVolume* vol = link->get();
    bool renamed = false, taken = false;
    for (int i = 0; i < count; ++i) {
      renamed |= renames[i].vol == vol;
      taken |= vol->name &&
               *vol->name ==
                   std::string_view(renames[i].new_name).substr(0, max_name);
    }
    if (taken && !renamed) {
      *link = std::move(vol->next);  // frees the record
    } else {
      link = &vol->next;
    }
  }
  ubi_volumes_refresh(info);
  return 0;
}
