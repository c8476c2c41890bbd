// /dev/ubi_ctrl: a partition attached as a UBI device, and detached (the
// kernel's drivers/mtd/ubi/build.c).
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

int attach(Flash& f, FlashRuntime& rt, ubi_attach_req* req) {
  if (req->mtd_num < 0) return fail(EINVAL);
  auto index = static_cast<size_t>(req->mtd_num);
  if (index >= f.partitions.size()) {
    // Not a partition: a gluebi MTD is refused, anything else is absent.
    return fail(find_gluebi(rt, req->mtd_num) != nullptr ? EINVAL : ENODEV);
  }
  for (const AttachedUbi& a : rt.attached) {
    if (a.partition == req->mtd_num) return fail(EEXIST);
  }
  // The headers' offsets as UBI works them out: the EC header fills the
  // first minimal I/O unit for headers (a sub-page, or a page on a chip
  // without sub-pages), the VID header sits at its offset inside an aligned
  // unit of that size, and the data start at the next page after it.
  const NandGeometry& g = f.geometry;
  uint32_t unit = g.subpage;
  uint32_t vid = req->vid_hdr_offset == 0
                     ? unit
                     : static_cast<uint32_t>(req->vid_hdr_offset);
  uint32_t shift = vid % unit;
  uint64_t leb_start =
      (uint64_t{vid} + 64 + g.pagesize - 1) / g.pagesize * g.pagesize;
  if (req->vid_hdr_offset < 0 || vid < 64 || shift + 64 > unit ||
      shift % 4 != 0 || leb_start > g.erasesize - 64) {
    return fail(EINVAL);
  }
  // Both headers in one unit: a write of either would rewrite the other,
  // so UBI takes the image read-only; an erased chip, which it would have
  // to write to, it cannot attach at all.
  bool read_only = vid + 64 <= unit;
  SimPartition& p = f.partitions[index];
  if (p.content == Content::foreign) return fail(EINVAL);
  if (read_only && p.content == Content::erased) return fail(EROFS);
  if (p.content == Content::ubi && p.vid_hdr_offset != vid) return fail(EINVAL);
  int num = req->ubi_num;
  if (num == UBI_DEV_NUM_AUTO) {
    for (num = 0; find_attached(rt, num) != nullptr; ++num) {
    }
  } else if (num < 0 || num >= 32) {
    return fail(EINVAL);
  } else if (find_attached(rt, num) != nullptr) {
    return fail(EEXIST);
  }
  if (available_lebs(f, p) == 0) return fail(ENOSPC);
  if (p.content == Content::erased) {
    // Empty flash is formatted on attach.
    p.content = Content::ubi;
    p.vid_hdr_offset = vid;
    p.erased_blocks.clear();
    p.volumes.clear();
  }
  uint32_t leb = leb_size(f, vid);
  rt.attached.push_back({num, static_cast<int>(index), leb, read_only, {}});
  // Until a volume is opened, the kernel has not checked its data: only a
  // volume whose update was cut short reads as unsound (its marker).
  for (SimVolume& v : p.volumes) v.corrupted = false;
  std::vector<SimVolume> sorted = p.volumes;
  std::sort(sorted.begin(), sorted.end(),
            [](const SimVolume& a, const SimVolume& b) { return a.id < b.id; });
  for (const SimVolume& v : sorted) add_gluebi(f, rt, num, v, leb);
  req->ubi_num = num;
  return 0;
}

int detach(FlashRuntime& rt, int32_t num) {
  if (find_attached(rt, num) == nullptr) return fail(EINVAL);
  drop_dead_openers(rt);
  if (any_opener(rt, num, -1)) return fail(EBUSY);
  std::erase_if(rt.attached,
                [&](const AttachedUbi& a) { return a.ubi_num == num; });
  std::erase_if(rt.gluebi,
                [&](const GluebiMtd& g) { return g.ubi_num == num; });
  std::erase_if(rt.ubiblocks,
                [&](const UbiBlockDev& b) { return b.ubi_num == num; });
  return 0;
}

class UbiCtrl : public FlashNode {
 public:
  int ioctl_op(unsigned long request, void* arg) override {
    return flash_call<int>([&](Flash& f, FlashRuntime& rt, bool& commit) {
      int rc = -1;
      if (request == UBI_IOCATT) {
        rc = attach(f, rt, static_cast<ubi_attach_req*>(arg));
      } else if (request == UBI_IOCDET) {
        rc = detach(rt, *static_cast<int32_t*>(arg));
      } else {
        rc = fail(ENOTTY);
      }
      commit = rc == 0;
      return rc;
    });
  }
};

}  // namespace

std::unique_ptr<OpenDevice> open_ubi_ctrl(int) {
  return std::make_unique<UbiCtrl>();
}

}  // namespace sim
