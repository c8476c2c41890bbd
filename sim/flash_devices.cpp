#include "sim/flash_devices.h"

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

#include "sim/flash_model.h"
#include "sim/kernel_state.h"
#include "sim/sim.h"

namespace sim {
namespace {

int fail(int error) {
  errno = error;
  return -1;
}

// A system call computed in one flash transaction: the body returns the
// result (setting errno when it fails) and says whether the flash is to be
// saved; errno is carried out of the transaction with the result.
template <typename T, typename Body>
T flash_call(Body&& body) {
  T result{};
  int error = 0;
  flash_transaction([&](Flash& f, FlashRuntime& rt) {
    bool commit = false;
    result = body(f, rt, commit);
    error = errno;
    return commit;
  });
  errno = error;
  return result;
}

// Every operation on the flash counts towards a power cut, done or not.
template <typename F>
auto counted(F&& op) {
  auto result = op();
  int saved = errno;
  kernel_flash_op();
  errno = saved;
  return result;
}

// Which partition and volume a gluebi MTD stands for.
const GluebiMtd* find_gluebi(const FlashRuntime& rt, int mtd_index) {
  for (const GluebiMtd& g : rt.gluebi) {
    if (g.mtd_index == mtd_index) return &g;
  }
  return nullptr;
}

int lowest_free_mtd(const Flash& f, const FlashRuntime& rt) {
  for (int i = static_cast<int>(f.partitions.size());; ++i) {
    if (find_gluebi(rt, i) == nullptr) return i;
  }
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

bool any_opener(const FlashRuntime& rt, int ubi_num, int vol_id) {
  return std::any_of(
      rt.openers.begin(), rt.openers.end(), [&](const VolumeOpener& o) {
        return o.ubi_num == ubi_num && (vol_id < 0 || o.vol_id == vol_id);
      });
}

void drop_opener(FlashRuntime& rt, int ubi_num, int vol_id, OpenKind kind) {
  pid_t self = self_pid();
  auto it = std::find_if(rt.openers.begin(), rt.openers.end(),
                         [&](const VolumeOpener& o) {
                           return o.pid == self && o.ubi_num == ubi_num &&
                                  o.vol_id == vol_id && o.kind == kind;
                         });
  if (it != rt.openers.end()) rt.openers.erase(it);
}

std::string data_path(int partition, int vol_id) {
  return volume_data_path(device_dir(), partition, vol_id);
}

// Reads a volume's content at pos; erased space past the data reads 0xFF.
ssize_t read_volume(int partition, const SimVolume& v, uint64_t limit,
                    uint64_t pos, void* buffer, size_t count) {
  if (pos >= limit) return 0;
  count = static_cast<size_t>(std::min<uint64_t>(count, limit - pos));
  std::memset(buffer, 0xFF, count);
  std::ifstream in(data_path(partition, v.id), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(pos));
  in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(count));
  return static_cast<ssize_t>(count);
}

// A device's lseek from the start or from where it is.
off_t seek(uint64_t* pos, off_t offset, int whence) {
  if (whence == SEEK_SET && offset >= 0) {
    *pos = static_cast<uint64_t>(offset);
  } else if (whence == SEEK_CUR && static_cast<int64_t>(*pos) + offset >= 0) {
    *pos += static_cast<uint64_t>(offset);
  } else {
    return fail(EINVAL);
  }
  return static_cast<off_t>(*pos);
}

// ---- /dev/ubi_ctrl ----

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
  rt.attached.push_back({num, static_cast<int>(index), leb, read_only});
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

class UbiCtrl : public OpenDevice {
 public:
  int ioctl(unsigned long request, void* arg) override {
    return counted([&] { return ioctl_op(request, arg); });
  }
  int ioctl_op(unsigned long request, void* arg) {
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

// ---- /dev/ubiN ----

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

class UbiDevice : public OpenDevice {
 public:
  explicit UbiDevice(int ubi_num) : ubi_num_(ubi_num) {}
  int ioctl(unsigned long request, void* arg) override {
    return counted([&] { return ioctl_op(request, arg); });
  }
  int ioctl_op(unsigned long request, void* arg) {
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

// ---- /dev/ubiN_M ----

class UbiVolumeNode : public OpenDevice {
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
    close_data();
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
    // Erased space past the data reads 0xFF. The file is read ahead in
    // large pieces: a volume is read back in 4 KiB reads, and one host read
    // per 4 KiB would cost more than the device's own work. Whatever changes
    // the volume (writes through its MTD included) moves the flash epoch,
    // which drops what was read ahead.
    for (size_t done = 0; done < count;) {
      uint64_t at = pos_ + done;
      if (at < ahead_pos_ || at >= ahead_pos_ + ahead_size_) {
        size_t want = static_cast<size_t>(
            std::min<uint64_t>(read_ahead, read_limit_ - at));
        // Not zeroed first: the read fills it.
        if (!ahead_) ahead_.reset(new char[read_ahead]);
        ahead_size_ = want;
        ahead_pos_ = at;
        ssize_t got = in_fd_ >= 0 ? ::pread(in_fd_, ahead_.get(), want,
                                            static_cast<off_t>(at))
                                  : 0;
        size_t held = got > 0 ? static_cast<size_t>(got) : 0;
        std::memset(ahead_.get() + held, 0xFF, want - held);
      }
      size_t n = static_cast<size_t>(
          std::min<uint64_t>(count - done, ahead_pos_ + ahead_size_ - at));
      std::memcpy(static_cast<char*>(buffer) + done,
                  ahead_.get() + (at - ahead_pos_), n);
      done += n;
    }
    pos_ += count;
    return static_cast<ssize_t>(count);
  }

  // The data go straight to the volume's file; the volume's state changes
  // (in the shared model) only when the update is complete.
  ssize_t write(const void* buffer, size_t count) override {
    return counted([&] { return write_op(buffer, count); });
  }
  ssize_t write_op(const void* buffer, size_t count) {
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
    if (!write_update(data, n)) return fail(EIO);
    program_time(upd_received_, upd_received_ + n);
    upd_received_ += n;
    if (upd_received_ == upd_bytes_) {
      flash_transaction([&](Flash& f, FlashRuntime&) {
        if (SimVolume* v = volume(f)) finish_update(*v);
        return true;
      });
    }
    return static_cast<ssize_t>(n);
  }

  off_t lseek(off_t offset, int whence) override {
    return seek(&pos_, offset, whence);
  }

  int ioctl(unsigned long request, void* arg) override {
    return counted([&] { return ioctl_op(request, arg); });
  }
  int ioctl_op(unsigned long request, void* arg) {
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
        write_held();
        if (out_fd_ >= 0) ::close(out_fd_);
        out_fd_ = ::open(data_path(partition_, vol_id_).c_str(),
                         O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        // Written over from the start. A static volume reads only what the
        // update wrote, so only bytes past its end are cut; a dynamic one
        // reads erased flash past it, so it is emptied (when it holds data:
        // a file system may write back at close whatever was written after
        // a truncation, as ext4 does).
        struct stat st {};
        off_t keep = v->dynamic ? 0 : static_cast<off_t>(bytes);
        if (out_fd_ >= 0 && ::fstat(out_fd_, &st) == 0 && st.st_size > keep)
          (void)!::ftruncate(out_fd_, keep);
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
        if (bytes == 0) finish_update(*v);
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
  // CRCs once the update is complete: damaged data marks it corrupted.
  void finish_update(SimVolume& v) {
    v.upd_marker = false;
    v.data_bytes = upd_bytes_;
    if (!v.dynamic && corrupt_writes_ && upd_bytes_ != 0) {
      v.corrupted = v.rotten = true;
    }
    updating_ = false;
    if (out_fd_ >= 0) ::close(out_fd_);
    out_fd_ = -1;
  }

  // A slow chip: each erase block the bytes from..to complete (the last
  // one of the update, too) takes its programming time in device time.
  void program_time(uint64_t from, uint64_t to) {
    if (write_delay_ms_ == 0 || leb_size_ == 0) return;
    uint64_t blocks = to / leb_size_ - from / leb_size_;
    if (to == upd_bytes_ && to % leb_size_ != 0) ++blocks;
    if (blocks == 0) return;
    uint64_t until = now_ns() + blocks * write_delay_ms_ * 1000000ull;
    while (kernel_block(until, [](const KernelState&) { return false; }) !=
           Wake::deadline) {
    }
  }

  // The update's data go to the volume's file, held open, in whole pieces
  // from one multiple of the piece's size to another; the bytes of an
  // unfinished piece wait in held_ (the kernel, too, gathers an update a
  // whole erase block at a time). In the installation's 126 KiB writes the
  // host would keep the file in small pages, which take a third longer to
  // write and half again as long to read back.
  bool write_update(const char* data, size_t n) {
    uint64_t end = upd_received_ + n;
    uint64_t cut = end == upd_bytes_ ? end : end / write_piece * write_piece;
    size_t taken = 0;
    if (cut > upd_received_ - held_size_) {
      taken = static_cast<size_t>(cut - upd_received_);
      iovec parts[2] = {{held_.get(), held_size_},
                        {const_cast<char*>(data), taken}};
      if (!write_all(out_fd_, parts, 2)) return false;
      held_size_ = 0;
    }
    if (taken == n) return true;
    if (!held_) held_.reset(new char[write_piece]);
    std::memcpy(held_.get() + held_size_, data + taken, n - taken);
    held_size_ += n - taken;
    return true;
  }
  static bool write_all(int fd, iovec* parts, int count) {
    while (count > 0) {
      ssize_t w = ::writev(fd, parts, count);
      if (w <= 0) return false;
      for (auto done = static_cast<size_t>(w); count > 0; ++parts, --count) {
        if (done < parts->iov_len) {
          parts->iov_base = static_cast<char*>(parts->iov_base) + done;
          parts->iov_len -= done;
          break;
        }
        done -= parts->iov_len;
      }
    }
    return true;
  }

  // An update given up part way leaves in the file what it was given.
  void write_held() {
    if (out_fd_ >= 0 && held_size_ != 0) {
      iovec held{held_.get(), held_size_};
      (void)write_all(out_fd_, &held, 1);
    }
    held_size_ = 0;
  }

  void close_data() {
    write_held();
    if (in_fd_ >= 0) ::close(in_fd_);
    if (out_fd_ >= 0) ::close(out_fd_);
    in_fd_ = out_fd_ = -1;
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
    if (in_fd_ >= 0) ::close(in_fd_);
    in_fd_ = -1;
    ahead_size_ = 0;
    // Unbuffered: writes through the volume's MTD change the data without
    // changing the flash state, and a read must see them.

    if (read_error_ == 0)
      in_fd_ =
          ::open(data_path(partition_, vol_id_).c_str(), O_RDONLY | O_CLOEXEC);
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
  static constexpr size_t read_ahead = 256 << 10;
  // The volume's bytes from ahead_pos_ on, read ahead.
  std::unique_ptr<char[]> ahead_;
  size_t ahead_size_ = 0;
  uint64_t ahead_pos_ = 0;
  int in_fd_ = -1;   // the volume's data, for reads
  int out_fd_ = -1;  // the same, for the update under way
  static constexpr size_t write_piece = 128 << 10;
  std::unique_ptr<char[]> held_;
  size_t held_size_ = 0;
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

// ---- /dev/mtdN, /dev/mtdblockN ----

class NandPartition : public OpenDevice {
 public:
  explicit NandPartition(int index) : index_(index) {}
  ssize_t read(void*, size_t) override { return fail(EOPNOTSUPP); }
  ssize_t write(const void* buffer, size_t count) override {
    return counted([&] { return write_op(buffer, count); });
  }
  // Programming the chip through the partition, from a sub-page boundary:
  // a block given anything but 0xFF bytes holds data UBI cannot attach.
  ssize_t write_op(const void* buffer, size_t count) {
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
  int ioctl(unsigned long request, void* arg) override {
    return counted([&] { return ioctl_op(request, arg); });
  }
  int ioctl_op(unsigned long request, void* arg) {
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

// The MTD view of a volume (gluebi), and the block device on top of it.
class GluebiFile : public OpenDevice {
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

  ssize_t write(const void* buffer, size_t count) override {
    return counted([&] { return write_op(buffer, count); });
  }
  ssize_t write_op(const void* buffer, size_t count) {
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

// ---- /dev/ubiblockN_M ----

// The kernel's read-only block device on a volume: whole sectors of what the
// volume holds now. Open, it holds the volume for reading.
class UbiBlockFile : public OpenDevice {
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
  ssize_t write(const void*, size_t) override { return fail(EROFS); }
  off_t lseek(off_t offset, int whence) override {
    return seek(&pos_, offset, whence);
  }

 private:
  int ubi_num_, vol_id_, partition_;
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
    result = std::make_unique<GluebiFile>(g->ubi_num, g->vol_id, a->partition,
                                          block, g->block_bytes);
    return true;
  });
  if (!result) errno = error;
  return result;
}

}  // namespace

std::unique_ptr<OpenDevice> open_ubi_ctrl(int) {
  return std::make_unique<UbiCtrl>();
}

std::unique_ptr<OpenDevice> open_ubi_node(unsigned major, unsigned minor,
                                          int flags) {
  std::unique_ptr<OpenDevice> result;
  int error = ENXIO;
  auto ubi_num = static_cast<int>(ubi_major_base - major);
  flash_transaction([&](Flash& f, FlashRuntime& rt) {
    // Nothing registered behind a node of a detached device or a removed
    // volume: ENXIO, as for any such character device.
    const AttachedUbi* a = find_attached(rt, ubi_num);
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
    // The first open of a static volume checks its data against the CRCs
    // stored with them (drivers/mtd/ubi/kapi.c, ubi_open_volume).
    if (!v->dynamic && !v->upd_marker && v->rotten) v->corrupted = true;
    result =
        std::make_unique<UbiVolumeNode>(ubi_num, vol_id, a->partition, kind);
    return true;
  });
  if (!result) errno = error;
  return result;
}

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
