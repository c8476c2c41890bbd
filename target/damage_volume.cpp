// velnor-damage-volume: leaves a UBI volume as a power cut in the middle of
// its update would: an update is started on it and never finished, so the
// volume keeps its update marker and no longer counts as sound.
//
// Usage: velnor-damage-volume NAME
#include <string>

#include "bootstrap/mounts.h"
#include "common/emit_line.h"
#include "common/unique_fd.h"
#include "flash/ubi.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    emit_line(2, "usage: velnor-damage-volume NAME");
    return 2;
  }
  mount_medium(MEDIUM_SYSFS, nullptr, 0, 0);
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  if (!info) return 1;
  UbiVolume* vol = ubi_volume_find(info.get(), argv[1]);
  if (vol == nullptr) {
    emit_line(2, "No volume ", argv[1]);
    return 1;
  }
  {
    unique_fd update(
        ubi_volume_open_update(vol, static_cast<uint32_t>(vol->data_bytes)));
    if (!update.ok()) return 1;
  }  // closed before the detach, which an open volume would refuse
  emit_line(1, "Left an unfinished update on \"", argv[1], "\"");
  return ubi_detach(info.get()) == 0 ? 0 : 1;
}
