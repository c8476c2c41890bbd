// /dev/ubiN_M: a volume's node, read through and updated (the kernel's
// drivers/mtd/ubi/upd.c and kapi.c).
#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>
#include <sys/stat.h>
#include <sys/uio.h>
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
#include "sim/state_files.h"
#include "sim/volume_buffers.h"

namespace sim {
namespace {

class UbiVolumeNode : public FlashNode {
 public:
  UbiVolumeNode(int ubi_num, int vol_id, int partition, OpenKind kind)
      : ubi_num_(ubi_num),
        vol_id_(vol_id),
        partition_(partition),
        kind_(kind) {}
  // An update left unfinished keeps the marker it set when it began.
  ~UbiVolumeNode() override {
    flash_transaction([&](Flash&, FlashRuntime& rt) {
      drop_opener(rt, ubi_num_, vol_id_, kind_);
      return true;
    });
    batch_.flush(out_fd_.fd);
  }

  // What the volume is, as the flash said when it last changed, and its
  // data file held open: reading through a volume takes thousands of small
  // reads, and the flash state is loaded once for them, not once each.
  ssize_t read(void* buffer, size_t count) override {
    uint64_t epoch = flash_epoch();
    if (!checked_ || epoch != checked_epoch_) check_volume(epoch);
    if (read_error_ == ENODEV) return fail(ENODEV);
    if (updating_) return fail(EBUSY);
    if (read_error_ != 0) return fail(read_error_);
    if (pos_ >= read_limit_) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, read_limit_ - pos_));
    // A page whose ECC fails fails the read of a dynamic volume.
    if (!ecc_failed_pages_.empty() &&
        ecc_failed_pages_.lower_bound(pos_ / page_size_) !=
            ecc_failed_pages_.lower_bound((pos_ + count + page_size_ - 1) /
                                          page_size_)) {
      return fail(EBADMSG);
    }
    // Erased space past the data reads 0xFF. Whatever changes the volume
    // (writes through its MTD included) moves the flash epoch, which drops
    // what was read ahead.
    ahead_.read(in_fd_.fd, pos_, read_limit_, static_cast<char*>(buffer),
                count);
    pos_ += count;
    return static_cast<ssize_t>(count);
  }

  // The data go straight to the volume's file; the volume's state changes
  // (in the shared model) only when the update is complete.
  ssize_t write_op(const void* buffer, size_t count) override {
    // No update under way: a direct write, which the kernel refuses unless
    // built for debugging.
    if (!updating_) return fail(kind_ == OpenKind::writer ? EPERM : EBADF);
    if (fail_writes_) return fail(EIO);
    while (stall_writes_) {
      // A flash that hangs: only the watchdog ends this.
      kernel_block(never, [](const KernelState&) { return false; });
    }
    auto n = static_cast<size_t>(
        std::min<uint64_t>(count, upd_bytes_ - upd_received_));
    const char* data = static_cast<const char*>(buffer);
    std::string damaged;
    if (corrupt_writes_ && n > 0) {
      damaged.assign(data, n);
      damaged[n / 2] ^= 0x01;
      data = damaged.data();
    }
    if (!batch_.write(out_fd_.fd, data, n, upd_received_, upd_bytes_))
      return fail(EIO);
    program_time(upd_received_, upd_received_ + n);
    upd_received_ += n;
    if (upd_received_ == upd_bytes_) {
      flash_transaction([&](Flash& f, FlashRuntime& rt) {
        if (SimVolume* v = volume(f)) finish_update(*v, rt);
        return true;
      });
    }
    return static_cast<ssize_t>(n);
  }

  off_t lseek(off_t offset, int whence) override {
    return seek(&pos_, offset, whence);
  }

  int ioctl_op(unsigned long request, void* arg) override {
    if (request == UBI_IOCVOLCRBLK || request == UBI_IOCVOLRMBLK) {
      return flash_call<int>([&](Flash& f, FlashRuntime& rt, bool& commit) {
        int rc = block_request(f, rt, ubi_num_, vol_id_, request);
        commit = rc == 0;
        return rc;
      });
    }
    if (request != UBI_IOCVOLUP) return fail(ENOTTY);
    if (kind_ != OpenKind::writer) return fail(EROFS);
    int64_t bytes = *static_cast<int64_t*>(arg);
    return flash_call<int>([&](Flash& f, FlashRuntime& rt, bool& commit) {
      int rc = -1;
      SimVolume* v = volume(f);
      const AttachedUbi* a = find_attached(rt, ubi_num_);
      if (v == nullptr || a == nullptr) {
        rc = fail(ENODEV);
      } else if (a->read_only) {
        rc = fail(EROFS);  // the update marker cannot be written
      } else if (bytes < 0 || static_cast<uint64_t>(bytes) >
                                  uint64_t{v->reserved_lebs} * a->leb_size) {
        rc = fail(EINVAL);
      } else if (std::count_if(rt.openers.begin(), rt.openers.end(),
                               [&](const VolumeOpener& o) {
                                 return o.ubi_num == ubi_num_ &&
                                        o.vol_id == vol_id_;
                               }) > 1) {
        // An update takes the volume for itself: no other user may hold it.
        rc = fail(EBUSY);
      } else {
        batch_.flush(out_fd_.fd);
        out_fd_.reset(::open(data_path(partition_, vol_id_).c_str(),
                             O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        // Written over from the start. A static volume reads only what the
        // update wrote, so only bytes past its end are cut; a dynamic one
        // reads erased flash past it, so it is emptied (when it holds data:
        // a file system may write back at close whatever was written after
        // a truncation, as ext4 does).
        struct stat st {};
        off_t keep = v->dynamic ? 0 : static_cast<off_t>(bytes);
        if (out_fd_.fd >= 0 && ::fstat(out_fd_.fd, &st) == 0 &&
            st.st_size > keep)
          (void)!::ftruncate(out_fd_.fd, keep);
        v->upd_marker = true;
        v->corrupted = v->rotten = false;
        v->data_bytes = 0;
        v->ecc_failed_pages.clear();  // its erase blocks are erased first
        upd_bytes_ = static_cast<uint64_t>(bytes);
        upd_received_ = 0;
        corrupt_writes_ = f.corrupt_writes;
        stall_writes_ = f.stall_writes;
        write_delay_ms_ = f.write_delay_ms;
        leb_size_ = a->leb_size;
        fail_writes_ = f.fail_writes;
        updating_ = bytes != 0;
        if (bytes == 0) finish_update(*v, rt);
        rc = 0;
      }
      commit = rc == 0;
      return rc;
    });
  }

 private:
  SimVolume* volume(Flash& f) {
    if (static_cast<size_t>(partition_) >= f.partitions.size()) return nullptr;
    return find_volume(f.partitions[static_cast<size_t>(partition_)], vol_id_);
  }
  // The kernel checks a static volume's data against its erase blocks'
  // CRCs once the update is complete: damaged data marks it corrupted, and
  // the next open reads nothing more.
  void finish_update(SimVolume& v, FlashRuntime& rt) {
    if (AttachedUbi* a = find_attached(rt, ubi_num_)) {
      a->checked_volumes.insert(vol_id_);
    }
    v.upd_marker = false;
    v.data_bytes = upd_bytes_;
    if (!v.dynamic && corrupt_writes_ && upd_bytes_ != 0) {
      v.corrupted = v.rotten = true;
    }
    updating_ = false;
    out_fd_.reset();
  }

  // A slow chip: each erase block the bytes from..to complete (the last
  // one of the update, too) takes its programming time in device time.
  void program_time(uint64_t from, uint64_t to) {
    if (write_delay_ms_ == 0 || leb_size_ == 0) return;
    uint64_t blocks = to / leb_size_ - from / leb_size_;
    if (to == upd_bytes_ && to % leb_size_ != 0) ++blocks;
    chip_busy(blocks * write_delay_ms_);
  }

  void check_volume(uint64_t epoch) {
    flash_transaction([&](Flash& f, FlashRuntime& rt) {
      SimVolume* v = volume(f);
      const AttachedUbi* a = find_attached(rt, ubi_num_);
      // A volume marked corrupted still reads what it holds, as the
      // kernel's does.
      read_error_ = v == nullptr || a == nullptr ? ENODEV
                    : v->upd_marker              ? EBADF
                                                 : 0;
      if (read_error_ == 0) {
        read_limit_ = volume_bytes(*v, a->leb_size);
        ecc_failed_pages_ = v->ecc_failed_pages;
        page_size_ = f.geometry.pagesize;
      }
      return false;
    });
    ahead_.drop();
    in_fd_.reset(read_error_ == 0
                     ? ::open(data_path(partition_, vol_id_).c_str(),
                              O_RDONLY | O_CLOEXEC)
                     : -1);
    checked_ = true;
    checked_epoch_ = epoch;
  }

  int ubi_num_, vol_id_, partition_;
  OpenKind kind_;
  bool checked_ = false;
  uint64_t checked_epoch_ = 0;
  int read_error_ = 0;
  uint64_t read_limit_ = 0;
  std::set<uint64_t> ecc_failed_pages_;
  uint64_t page_size_ = 1;
  ReadAhead ahead_;
  WriteBatch batch_;
  HostFd in_fd_{-1};   // the volume's data, for reads
  HostFd out_fd_{-1};  // the same, for the update under way
  bool updating_ = false;
  bool corrupt_writes_ = false;
  bool fail_writes_ = false;
  bool stall_writes_ = false;
  uint32_t write_delay_ms_ = 0;
  uint32_t leb_size_ = 0;
  uint64_t upd_bytes_ = 0;
  uint64_t upd_received_ = 0;
  uint64_t pos_ = 0;
};

}  // namespace

std::unique_ptr<OpenDevice> make_volume_node(int ubi_num, int vol_id,
                                             int partition, OpenKind kind) {
  return std::make_unique<UbiVolumeNode>(ubi_num, vol_id, partition, kind);
}

}  // namespace sim
