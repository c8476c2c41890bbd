// The MTD of each volume of an attached UBI device, and the block device on
// top of it (the kernel's drivers/mtd/ubi/gluebi.c; mtd_char.cpp opens it).
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

int lowest_free_mtd(const Flash& f, const FlashRuntime& rt) {
  for (int i = static_cast<int>(f.partitions.size());; ++i) {
    if (find_gluebi(rt, i) == nullptr) return i;
  }
}

// The MTD view of a volume (gluebi), and the block device on top of it.
class GluebiFile : public FlashNode {
 public:
  GluebiFile(int ubi_num, int vol_id, int partition, bool block,
             uint64_t block_bytes)
      : ubi_num_(ubi_num),
        vol_id_(vol_id),
        partition_(partition),
        block_(block),
        block_bytes_(block_bytes) {}
  ~GluebiFile() override {
    flash_transaction([&](Flash&, FlashRuntime& rt) {
      drop_opener(rt, ubi_num_, vol_id_, OpenKind::gluebi);
      return true;
    });
  }

  ssize_t read(void* buffer, size_t count) override {
    return flash_call<ssize_t>([&](Flash& f, FlashRuntime& rt, bool&) {
      ssize_t rc = -1;
      const AttachedUbi* a = nullptr;
      SimVolume* v = volume(f, rt, &a);
      if (v == nullptr) {
        rc = fail(ENODEV);
      } else {
        uint64_t limit = block_ ? block_bytes_ : volume_bytes(*v, a->leb_size);
        rc = read_volume(partition_, *v, limit, pos_, buffer, count);
        if (rc > 0) pos_ += static_cast<uint64_t>(rc);
      }
      return rc;
    });
  }

  ssize_t write_op(const void* buffer, size_t count) override {
    if (block_) return fail(EROFS);
    return flash_call<ssize_t>([&](Flash& f, FlashRuntime& rt, bool& commit) {
      ssize_t rc = -1;
      const AttachedUbi* a = nullptr;
      SimVolume* v = volume(f, rt, &a);
      if (v == nullptr) {
        rc = fail(ENODEV);
      } else if (!v->dynamic || a->read_only) {
        // Static volumes change only by a volume update.
        rc = fail(EROFS);
      } else if (count % f.geometry.pagesize != 0 ||
                 pos_ % f.geometry.pagesize != 0 ||
                 pos_ + count > uint64_t{v->reserved_lebs} * a->leb_size) {
        rc = fail(EINVAL);
      } else {
        // Programming NAND can only clear bits: pages written before (and
        // not erased since) keep the bits the new data would set, and the
        // ECC stored beside them, programmed the same way, no longer
        // matches them.
        std::string merged(count, '\xFF');
        uint64_t limit = uint64_t{v->reserved_lebs} * a->leb_size;
        read_volume(partition_, *v, limit, pos_, merged.data(), count);
        const char* data = static_cast<const char*>(buffer);
        uint32_t page = f.geometry.pagesize;
        for (size_t at = 0; at < count; at += page) {
          std::string_view old(merged.data() + at, page);
          std::string_view now(data + at, page);
          if (old != now && old.find_first_not_of('\xFF') != old.npos) {
            v->ecc_failed_pages.insert((pos_ + at) / page);
            commit = true;
          }
        }
        for (size_t i = 0; i < count; ++i) merged[i] &= data[i];
        std::fstream out(data_path(partition_, vol_id_),
                         std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(pos_));
        out.write(merged.data(), static_cast<std::streamsize>(count));
        commit = true;  // readers of the volume must see the change
        pos_ += count;
        rc = static_cast<ssize_t>(count);
      }
      return rc;
    });
  }

  off_t lseek(off_t offset, int whence) override {
    if (whence == SEEK_SET && offset >= 0) {
      pos_ = static_cast<uint64_t>(offset);
      return offset;
    }
    return fail(EINVAL);
  }

 private:
  // The volume behind the file while its UBI device is attached.
  SimVolume* volume(Flash& f, FlashRuntime& rt, const AttachedUbi** a) {
    *a = find_attached(rt, ubi_num_);
    return *a ? find_volume(f.partitions[static_cast<size_t>(partition_)],
                            vol_id_)
              : nullptr;
  }

  int ubi_num_, vol_id_, partition_;
  bool block_;
  uint64_t block_bytes_;
  uint64_t pos_ = 0;
};

}  // namespace

// Which partition and volume a gluebi MTD stands for.
const GluebiMtd* find_gluebi(const FlashRuntime& rt, int mtd_index) {
  for (const GluebiMtd& g : rt.gluebi) {
    if (g.mtd_index == mtd_index) return &g;
  }
  return nullptr;
}

void add_gluebi(const Flash& f, FlashRuntime& rt, int ubi_num,
                const SimVolume& v, uint32_t leb) {
  if (!f.gluebi) return;
  // The block device takes the MTD's size when it is made, and keeps it.
  uint64_t size = v.dynamic ? uint64_t{v.reserved_lebs} * leb : v.data_bytes;
  rt.gluebi.push_back({ubi_num, v.id, lowest_free_mtd(f, rt), size, v.name});
}

void remove_gluebi(FlashRuntime& rt, int ubi_num, int vol_id) {
  std::erase_if(rt.gluebi, [&](const GluebiMtd& g) {
    return g.ubi_num == ubi_num && g.vol_id == vol_id;
  });
}

std::unique_ptr<OpenDevice> make_gluebi_file(int ubi_num, int vol_id,
                                             int partition, bool block,
                                             uint64_t block_bytes) {
  return std::make_unique<GluebiFile>(ubi_num, vol_id, partition, block,
                                      block_bytes);
}

}  // namespace sim
