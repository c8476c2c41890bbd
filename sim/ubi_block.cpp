// /dev/ubiblockN_M: the kernel's read-only block device on a volume
// (drivers/mtd/ubi/block.c), made and removed through the volume's node.
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

// UBI_IOCVOLCRBLK and UBI_IOCVOLRMBLK on a volume's node: the kernel makes
// a block device of any volume, once, and removes it unless it is open.
int block_request(Flash& f, FlashRuntime& rt, int ubi_num, int vol_id,
                  unsigned long request) {
  if (!f.ubiblock) return fail(ENOTTY);  // built without UBI block devices
  auto it = std::find_if(rt.ubiblocks.begin(), rt.ubiblocks.end(),
                         [&](const UbiBlockDev& b) {
                           return b.ubi_num == ubi_num && b.vol_id == vol_id;
                         });
  if (request == UBI_IOCVOLRMBLK) {
    if (it == rt.ubiblocks.end()) return fail(ENODEV);
    drop_dead_openers(rt);
    if (volume_open(rt, ubi_num, vol_id, OpenKind::block)) return fail(EBUSY);
    rt.ubiblocks.erase(it);
    return 0;
  }
  if (it != rt.ubiblocks.end()) return fail(EEXIST);
  int minor = 0;
  while (std::any_of(rt.ubiblocks.begin(), rt.ubiblocks.end(),
                     [&](const UbiBlockDev& b) { return b.minor == minor; }))
    ++minor;
  rt.ubiblocks.push_back({ubi_num, vol_id, minor});
  return 0;
}

namespace {

// The kernel's read-only block device on a volume: whole sectors of what the
// volume holds now. Open, it holds the volume for reading.
class UbiBlockFile : public FlashNode {
 public:
  UbiBlockFile(int ubi_num, int vol_id, int partition)
      : ubi_num_(ubi_num), vol_id_(vol_id), partition_(partition) {}
  ~UbiBlockFile() override {
    flash_transaction([&](Flash&, FlashRuntime& rt) {
      drop_opener(rt, ubi_num_, vol_id_, OpenKind::block);
      return true;
    });
  }
  ssize_t read(void* buffer, size_t count) override {
    return flash_call<ssize_t>([&](Flash& f, FlashRuntime& rt, bool&) {
      ssize_t rc = -1;
      const AttachedUbi* a = find_attached(rt, ubi_num_);
      SimVolume* v =
          a ? find_volume(f.partitions[static_cast<size_t>(partition_)],
                          vol_id_)
            : nullptr;
      if (v == nullptr) {
        rc = fail(ENODEV);
      } else {
        uint64_t limit = volume_bytes(*v, a->leb_size) / 512 * 512;
        rc = read_volume(partition_, *v, limit, pos_, buffer, count);
        if (rc > 0) pos_ += static_cast<uint64_t>(rc);
      }
      return rc;
    });
  }
  ssize_t write_op(const void*, size_t) override { return fail(EROFS); }
  off_t lseek(off_t offset, int whence) override {
    return seek(&pos_, offset, whence);
  }

 private:
  int ubi_num_, vol_id_, partition_;
  uint64_t pos_ = 0;
};

}  // namespace

std::unique_ptr<OpenDevice> open_ubi_block(unsigned minor, int flags) {
  std::unique_ptr<OpenDevice> result;
  int error = ENXIO;
  flash_transaction([&](Flash&, FlashRuntime& rt) {
    for (const UbiBlockDev& b : rt.ubiblocks) {
      if (b.minor != static_cast<int>(minor)) continue;
      const AttachedUbi* a = find_attached(rt, b.ubi_num);
      if (a == nullptr) return false;
      if ((flags & O_ACCMODE) != O_RDONLY) {
        error = EROFS;
        return false;
      }
      rt.openers.push_back({self_pid(), b.ubi_num, b.vol_id, OpenKind::block});
      result =
          std::make_unique<UbiBlockFile>(b.ubi_num, b.vol_id, a->partition);
      return true;
    }
    return false;
  });
  if (!result) errno = error;
  return result;
}

}  // namespace sim
