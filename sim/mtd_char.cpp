// /dev/mtdN and /dev/mtdblockN: a NAND partition's character device, and
// those of the volumes' MTDs (gluebi.cpp), with their block devices.
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

class NandPartition : public FlashNode {
 public:
  explicit NandPartition(int index) : index_(index) {}
  ssize_t read(void*, size_t) override { return fail(EOPNOTSUPP); }
  // Programming the chip through the partition, from a sub-page boundary:
  // a block given anything but 0xFF bytes holds data UBI cannot attach.
  ssize_t write_op(const void* buffer, size_t count) override {
    return flash_call<ssize_t>([&](Flash& f, FlashRuntime&, bool& commit) {
      if (static_cast<size_t>(index_) >= f.partitions.size()) {
        return static_cast<ssize_t>(fail(ENODEV));
      }
      SimPartition& p = f.partitions[static_cast<size_t>(index_)];
      const NandGeometry& g = f.geometry;
      if (pos_ >= p.size) return static_cast<ssize_t>(fail(ENOSPC));
      if (pos_ % g.subpage != 0) return static_cast<ssize_t>(fail(EINVAL));
      count = static_cast<size_t>(std::min<uint64_t>(count, p.size - pos_));
      auto first = static_cast<uint32_t>(p.offset / g.erasesize);
      const auto* bytes = static_cast<const unsigned char*>(buffer);
      for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == 0xFF) continue;
        auto block = static_cast<uint32_t>((pos_ + i) / g.erasesize);
        if (f.bad_blocks.count(first + block)) {
          return static_cast<ssize_t>(fail(EIO));
        }
        program_block(f, p, block);
        commit = true;
      }
      pos_ += count;
      return static_cast<ssize_t>(count);
    });
  }
  off_t lseek(off_t offset, int whence) override {
    return seek(&pos_, offset, whence);
  }
  int ioctl_op(unsigned long request, void* arg) override {
    return flash_call<int>([&](Flash& f, FlashRuntime&, bool& commit) {
      int rc = -1;
      if (static_cast<size_t>(index_) >= f.partitions.size()) {
        return fail(ENODEV);
      }
      SimPartition& p = f.partitions[static_cast<size_t>(index_)];
      const NandGeometry& g = f.geometry;
      auto first = static_cast<uint32_t>(p.offset / g.erasesize);
      bool changed = false;
      if (request == MEMGETINFO) {
        auto* info = static_cast<mtd_info_user*>(arg);
        *info = mtd_info_user{};
        info->type = MTD_NANDFLASH;
        info->flags = MTD_CAP_NANDFLASH;
        info->size = static_cast<uint32_t>(p.size);
        info->erasesize = g.erasesize;
        info->writesize = g.pagesize;
        info->oobsize = g.oobsize;
        rc = 0;
      } else if (request == MEMGETBADBLOCK) {
        int64_t offset = *static_cast<int64_t*>(arg);
        if (!f.badblock_ioctl) {
          rc = fail(EOPNOTSUPP);
        } else if (f.badblock_errno != 0) {
          rc = fail(f.badblock_errno);
        } else if (offset < 0 || static_cast<uint64_t>(offset) >= p.size) {
          rc = fail(EINVAL);
        } else {
          rc = f.bad_blocks.count(first +
                                  static_cast<uint32_t>(offset / g.erasesize))
                   ? 1
                   : 0;
        }
      } else if (request == MEMERASE) {
        auto* e = static_cast<erase_info_user*>(arg);
        uint32_t block = first + e->start / g.erasesize;
        if (e->start % g.erasesize != 0 || e->length != g.erasesize ||
            uint64_t{e->start} + e->length > p.size) {
          rc = fail(EINVAL);
        } else if (f.bad_blocks.count(block)) {
          rc = fail(EIO);
        } else {
          erase_block(f, p, block - first);
          changed = true;
          rc = 0;
        }
      } else {
        rc = fail(ENOTTY);
      }
      commit = changed;
      return rc;
    });
  }

 private:
  // A UBI image with a block erased or overwritten is taken as data UBI
  // cannot attach (the kernel might still attach what is left of it: the
  // simulated device is the stricter of the two).
  static void spoil_ubi(Flash& f, SimPartition& p) {
    for (const SimVolume& v : p.volumes) {
      std::remove(volume_data_path(device_dir(),
                                   static_cast<int>(&p - f.partitions.data()),
                                   v.id)
                      .c_str());
    }
    p.volumes.clear();
    p.content = Content::foreign;
    p.erased_blocks.clear();
  }

  // Data written into a block of erased flash: every other block stays
  // erased.
  static void program_block(Flash& f, SimPartition& p, uint32_t block) {
    if (p.content == Content::ubi) spoil_ubi(f, p);
    if (p.content == Content::erased) {
      p.content = Content::foreign;
      auto count = static_cast<uint32_t>(p.size / f.geometry.erasesize);
      for (uint32_t b = 0; b < count; ++b) p.erased_blocks.insert(b);
    }
    p.erased_blocks.erase(block);
  }

  // Erasing any block of a UBI image or of foreign data leaves data UBI
  // cannot attach, until every good block has been erased.
  static void erase_block(Flash& f, SimPartition& p, uint32_t block) {
    if (p.content == Content::erased) return;
    if (p.content == Content::ubi) spoil_ubi(f, p);
    p.erased_blocks.insert(block);
    auto first = static_cast<uint32_t>(p.offset / f.geometry.erasesize);
    auto count = static_cast<uint32_t>(p.size / f.geometry.erasesize);
    for (uint32_t b = 0; b < count; ++b) {
      if (!p.erased_blocks.count(b) && !f.bad_blocks.count(first + b)) return;
    }
    p.content = Content::erased;
    p.erased_blocks.clear();
  }

  int index_;
  uint64_t pos_ = 0;
};

std::unique_ptr<OpenDevice> open_mtd(unsigned index, int flags, bool block) {
  std::unique_ptr<OpenDevice> result;
  int error = ENXIO;
  flash_transaction([&](Flash& f, FlashRuntime& rt) {
    if (index < f.partitions.size()) {
      if (!block)
        result = std::make_unique<NandPartition>(static_cast<int>(index));
      else
        error = EOPNOTSUPP;  // the raw NAND's block device is not modelled
      return false;
    }
    const GluebiMtd* g = find_gluebi(rt, static_cast<int>(index));
    if (g == nullptr) return false;
    if (block && !f.mtdblock_volumes) return false;  // no such block device
    const AttachedUbi* a = find_attached(rt, g->ubi_num);
    drop_dead_openers(rt);
    // The first user of the MTD opens the volume for writing; later users
    // share that.
    bool held = volume_open(rt, g->ubi_num, g->vol_id, OpenKind::gluebi);
    if (!held && volume_open(rt, g->ubi_num, g->vol_id, OpenKind::writer)) {
      error = EBUSY;
      return false;
    }
    if (block && (flags & O_ACCMODE) != O_RDONLY) {
      error = EROFS;
      return false;
    }
    rt.openers.push_back({self_pid(), g->ubi_num, g->vol_id, OpenKind::gluebi});
    result = make_gluebi_file(g->ubi_num, g->vol_id, a->partition, block,
                              g->block_bytes);
    return true;
  });
  if (!result) errno = error;
  return result;
}

}  // namespace

std::unique_ptr<OpenDevice> open_mtd_char(unsigned minor, int flags) {
  if (minor % 2 == 1 && (flags & O_ACCMODE) != O_RDONLY) {
    errno = EACCES;  // the read-only twin
    return nullptr;
  }
  return open_mtd(minor / 2, flags, false);
}

std::unique_ptr<OpenDevice> open_mtd_block(unsigned minor, int flags) {
  return open_mtd(minor, flags, true);
}

}  // namespace sim
