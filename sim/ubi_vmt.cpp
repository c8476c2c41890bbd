// /dev/ubiN: volumes made, removed and renamed (the kernel's
// drivers/mtd/ubi/vmt.c), and the device's nodes opened (cdev.c).
#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/flash_devices.h"
#include "sim/flash_model.h"
#include "sim/flash_node.h"
#include "sim/kernel_state.h"
#include "sim/sim.h"

namespace sim {
namespace {

int make_volume(Flash& f, FlashRuntime& rt, const AttachedUbi& a,
                ubi_mkvol_req* req) {
  SimPartition& p = f.partitions[static_cast<size_t>(a.partition)];
  if (req->name_len > UBI_MAX_VOLUME_NAME) return fail(ENAMETOOLONG);
  if (req->name_len <= 0 ||
      strnlen(req->name, UBI_MAX_VOLUME_NAME + 1) !=
          static_cast<size_t>(req->name_len) ||
      req->alignment != 1 || req->bytes <= 0 ||
      (req->vol_type != UBI_DYNAMIC_VOLUME &&
       req->vol_type != UBI_STATIC_VOLUME)) {
    return fail(EINVAL);
  }
  std::string name(req->name, static_cast<size_t>(req->name_len));
  for (const SimVolume& v : p.volumes) {
    if (v.name == name) return fail(EEXIST);
  }
  int id = req->vol_id;
  if (id == UBI_VOL_NUM_AUTO) {
    for (id = 0; find_volume(p, id) != nullptr; ++id) {
    }
    if (id >= 128) return fail(ENFILE);
  } else if (id < 0 || id >= 128) {
    return fail(EINVAL);
  } else if (find_volume(p, id) != nullptr) {
    return fail(EEXIST);
  }
  auto lebs = static_cast<uint32_t>(
      (static_cast<uint64_t>(req->bytes) + a.leb_size - 1) / a.leb_size);
  uint32_t used = 0;
  for (const SimVolume& v : p.volumes) used += v.reserved_lebs;
  if (used + lebs > available_lebs(f, p)) return fail(ENOSPC);
  SimVolume v;
  v.id = id;
  v.name = name;
  v.dynamic = req->vol_type == UBI_DYNAMIC_VOLUME;
  v.reserved_lebs = lebs;
  p.volumes.push_back(v);
  // The number's data file may outlive an earlier volume (remove_volume). A
  // static volume shows none of it: it reads nothing until an update, which
  // writes over it. A dynamic one reads its whole size, erased where nothing
  // was written: it starts empty.
  std::ofstream(
      data_path(a.partition, id),
      (v.dynamic ? std::ios::trunc : std::ios::app) | std::ios::binary);
  add_gluebi(f, rt, a.ubi_num, v, a.leb_size);
  req->vol_id = id;
  return 0;
}

int remove_volume(Flash& f, FlashRuntime& rt, const AttachedUbi& a,
                  int32_t id) {
  SimPartition& p = f.partitions[static_cast<size_t>(a.partition)];
  if (find_volume(p, id) == nullptr) return fail(ENODEV);
  drop_dead_openers(rt);
  if (any_opener(rt, a.ubi_num, id)) return fail(EBUSY);
  if (a.read_only) return fail(EROFS);
  std::erase_if(p.volumes, [&](const SimVolume& v) { return v.id == id; });
  // Its data file stays for the next volume of the number, as the erase
  // blocks stay for the next volume: writing over pages the host holds
  // costs far less than deleting a large file and writing a new one (ext4
  // takes milliseconds for each 64 MiB).
  remove_gluebi(rt, a.ubi_num, id);
  std::erase_if(rt.ubiblocks, [&](const UbiBlockDev& b) {
    return b.ubi_num == a.ubi_num && b.vol_id == id;
  });
  return 0;
}

int rename_volumes(Flash& f, FlashRuntime& rt, const AttachedUbi& a,
                   ubi_rnvol_req* req) {
  SimPartition& p = f.partitions[static_cast<size_t>(a.partition)];
  if (req->count < 0 || req->count > UBI_MAX_RNVOL) return fail(EINVAL);
  if (req->count == 0) return 0;
  drop_dead_openers(rt);
  std::vector<std::pair<int, std::string>> renames;
  for (int i = 0; i < req->count; ++i) {
    int16_t len = req->ents[i].name_len;
    int32_t id = req->ents[i].vol_id;
    if (len > UBI_MAX_VOLUME_NAME) return fail(ENAMETOOLONG);
    if (len <= 0 || strnlen(req->ents[i].name, UBI_MAX_VOLUME_NAME + 1) !=
                        static_cast<size_t>(len)) {
      return fail(EINVAL);
    }
    // The kernel opens a renamed volume for its metadata only, beside
    // whoever holds it: an id past its table is EINVAL, one it does not
    // hold ENODEV (drivers/mtd/ubi/cdev.c, rename_volumes and
    // ubi_open_volume).
    if (id < 0 || id >= 128) return fail(EINVAL);
    if (find_volume(p, id) == nullptr) return fail(ENODEV);
    std::string name(req->ents[i].name, static_cast<size_t>(len));
    for (const auto& r : renames) {
      if (r.first == id || r.second == name) return fail(EINVAL);
    }
    renames.emplace_back(id, name);
  }
  // A volume that already has a new name and is not renamed itself is
  // removed: renaming is how volumes are swapped atomically.
  std::vector<int> doomed;
  for (const auto& r : renames) {
    for (const SimVolume& v : p.volumes) {
      bool renamed =
          std::any_of(renames.begin(), renames.end(),
                      [&](const auto& x) { return x.first == v.id; });
      if (v.name == r.second && !renamed) {
        if (any_opener(rt, a.ubi_num, v.id)) return fail(EBUSY);
        doomed.push_back(v.id);
      }
    }
  }
  for (int id : doomed) remove_volume(f, rt, a, id);
  for (const auto& r : renames) find_volume(p, r.first)->name = r.second;
  return 0;
}

class UbiDevice : public FlashNode {
 public:
  explicit UbiDevice(int ubi_num) : ubi_num_(ubi_num) {}
  int ioctl_op(unsigned long request, void* arg) override {
    return flash_call<int>([&](Flash& f, FlashRuntime& rt, bool& commit) {
      int rc = -1;
      const AttachedUbi* a = find_attached(rt, ubi_num_);
      if (a == nullptr) {
        rc = fail(ENODEV);
      } else if (a->read_only &&
                 (request == UBI_IOCMKVOL || request == UBI_IOCRNVOL)) {
        rc = fail(EROFS);  // each would write the volume table
      } else if (request == UBI_IOCMKVOL) {
        rc = make_volume(f, rt, *a, static_cast<ubi_mkvol_req*>(arg));
      } else if (request == UBI_IOCRMVOL) {
        rc = remove_volume(f, rt, *a, *static_cast<int32_t*>(arg));
      } else if (request == UBI_IOCRNVOL) {
        rc = rename_volumes(f, rt, *a, static_cast<ubi_rnvol_req*>(arg));
      } else {
        rc = fail(ENOTTY);
      }
      commit = rc == 0;
      return rc;
    });
  }

 private:
  int ubi_num_;
};

}  // namespace

std::unique_ptr<OpenDevice> open_ubi_node(unsigned major, unsigned minor,
                                          int flags) {
  std::unique_ptr<OpenDevice> result;
  int error = ENXIO;
  uint64_t check_ms = 0;
  auto ubi_num = static_cast<int>(ubi_major_base - major);
  flash_transaction([&](Flash& f, FlashRuntime& rt) {
    // Nothing registered behind a node of a detached device or a removed
    // volume: ENXIO, as for any such character device.
    AttachedUbi* a = find_attached(rt, ubi_num);
    if (a == nullptr) return false;
    if (minor == 0) {
      result = std::make_unique<UbiDevice>(ubi_num);
      return false;
    }
    int vol_id = static_cast<int>(minor) - 1;
    SimPartition& p = f.partitions[static_cast<size_t>(a->partition)];
    SimVolume* v = find_volume(p, vol_id);
    if (v == nullptr) return false;
    drop_dead_openers(rt);
    bool write = (flags & O_ACCMODE) != O_RDONLY;
    if (write && (volume_open(rt, ubi_num, vol_id, OpenKind::writer) ||
                  volume_open(rt, ubi_num, vol_id, OpenKind::gluebi))) {
      error = EBUSY;
      return false;
    }
    OpenKind kind = write ? OpenKind::writer : OpenKind::reader;
    rt.openers.push_back({self_pid(), ubi_num, vol_id, kind});
    // The first open of a static volume after the attach reads all its data
    // to check them against the CRCs stored with them, inside the open
    // (drivers/mtd/ubi/kapi.c, ubi_open_volume).
    if (!v->dynamic && !v->upd_marker &&
        a->checked_volumes.insert(vol_id).second) {
      if (v->rotten) v->corrupted = true;
      uint64_t blocks = (v->data_bytes + a->leb_size - 1) / a->leb_size;
      check_ms = blocks * f.read_delay_ms;
    }
    result = make_volume_node(ubi_num, vol_id, a->partition, kind);
    return true;
  });
  chip_busy(check_ms);
  if (!result) errno = error;
  return result;
}

}  // namespace sim
