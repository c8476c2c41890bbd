#include "sim/flash_model.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

#include "sim/kernel_state.h"
#include "sim/sim.h"
#include "sim/state_files.h"
#include "sim/state_records.h"
#include "sim/sysfs_tree.h"

namespace sim {
namespace {

std::string flash_file(const std::string& dir) { return dir + "/state/flash"; }
std::string runtime_file(const std::string& dir) {
  return dir + "/state/flash-runtime";
}

// The flash's state files as this process last read or wrote them, parsed,
// with the flash epoch they had: until another process moves the epoch, the
// files still hold just that, and a transaction need not read and parse
// them again (most of a simulated installation is such transactions).
struct KnownState {
  std::string dir;
  uint64_t epoch = 0;
  std::optional<std::string> flash_text;  // nullopt: a device without flash
  std::string runtime_text;
  Flash flash;
  FlashRuntime runtime;
  std::string sysfs_record;  // empty: not read yet
};

KnownState& known_state() {
  static KnownState& known = *new KnownState;
  return known;
}

void load_state(KnownState& k, const std::string& dir, uint64_t epoch) {
  k.dir = dir;
  k.epoch = epoch;
  k.flash_text = read_state(flash_file(dir));
  k.flash = Flash{};
  if (k.flash_text) {
    k.flash = state_record<Flash>(*k.flash_text);
  } else {
    // A device without flash: the transaction sees an empty chip.
    k.flash.geometry.size = 0;
  }
  k.runtime_text = read_state(runtime_file(dir)).value_or("");
  k.runtime = state_record<FlashRuntime>(k.runtime_text);
  k.sysfs_record.clear();
}

}  // namespace

bool flash_create(const std::string& dir, const Flash& flash) {
  known_state().dir.clear();  // whatever was known of a device here is gone
  rewrite_file(flash_file(dir), state_text(flash));
  rewrite_file(runtime_file(dir), state_text(FlashRuntime{}));
  sync_flash_sysfs(dir, flash, FlashRuntime{});
  return true;
}

bool flash_read(const std::string& dir, Flash* flash) {
  // Under the device's lock, which its processes hold while they change it.
  HostFd lock{::open((dir + "/state/kernel").c_str(), O_RDONLY | O_CLOEXEC)};
  if (lock.fd >= 0) {
    while (::flock(lock.fd, LOCK_SH) != 0 && errno == EINTR) {
    }
  }
  std::optional<std::string> text = read_state(flash_file(dir));
  if (text) *flash = state_record<Flash>(*text);
  return text.has_value();
}

void flash_transaction(const std::function<bool(Flash&, FlashRuntime&)>& fn) {
  kernel_locked([&](KernelState& s) {
    const std::string& dir = device_dir();
    std::atomic_ref<uint64_t> epoch(s.flash_epoch);
    KnownState& k = known_state();
    uint64_t now = epoch.load(std::memory_order_acquire);
    if (k.dir != dir || k.epoch != now) load_state(k, dir, now);
    Flash f = k.flash;
    FlashRuntime rt = k.runtime;
    if (!fn(f, rt)) return;
    // Only a file whose state changed is written again (compared as
    // records: writing the text costs more than the comparison); what is
    // kept is parsed from the text written, so that it is what any other
    // process reads.
    if (!k.flash_text || f != k.flash) {
      std::string text = state_text(f);
      rewrite_file(flash_file(dir), text);
      k.flash = state_record<Flash>(text);
      k.flash_text = std::move(text);
    }
    if (rt != k.runtime) {
      std::string text = state_text(rt);
      rewrite_file(runtime_file(dir), text);
      k.runtime = state_record<FlashRuntime>(text);
      k.runtime_text = std::move(text);
    }
    sync_flash_sysfs(dir, f, rt, &k.sysfs_record);
    k.epoch = epoch.fetch_add(1, std::memory_order_release) + 1;
  });
}

uint64_t flash_epoch() {
  // Without the lock: a reader only asks whether anything has changed.
  return std::atomic_ref<uint64_t>(kernel_state().flash_epoch)
      .load(std::memory_order_acquire);
}

std::string volume_data_path(const std::string& dir, int partition,
                             int vol_id) {
  return dir + "/state/flash-p" + std::to_string(partition) + "-vol" +
         std::to_string(vol_id);
}

uint32_t leb_size(const Flash& f, uint32_t vid_hdr_offset) {
  const NandGeometry& g = f.geometry;
  uint32_t vid = vid_hdr_offset == 0 ? g.subpage : vid_hdr_offset;
  // The data start after the VID header, aligned to a page.
  uint32_t leb_start = (vid + 64 + g.pagesize - 1) / g.pagesize * g.pagesize;
  return g.erasesize - leb_start;
}

UbiBlocks ubi_blocks(const Flash& f, const SimPartition& p) {
  const NandGeometry& g = f.geometry;
  auto first = static_cast<uint32_t>(p.offset / g.erasesize);
  auto count = static_cast<uint32_t>(p.size / g.erasesize);
  UbiBlocks b;
  for (uint32_t block : f.bad_blocks)
    b.bad += block >= first && block < first + count;
  b.good = count - b.bad;
  // Reserve for bad blocks: 20 per 1024 blocks of the whole chip, less
  // those already bad; then the layout volume (2), wear-levelling (1) and
  // atomic LEB change (1).
  auto chip_blocks = static_cast<uint32_t>(g.size / g.erasesize);
  uint32_t limit = (chip_blocks * 20 + 1023) / 1024;
  b.reserved_for_bad = limit > b.bad ? limit - b.bad : 0;
  b.available =
      b.good > b.reserved_for_bad + 4 ? b.good - b.reserved_for_bad - 4 : 0;
  return b;
}

uint32_t available_lebs(const Flash& f, const SimPartition& p) {
  return ubi_blocks(f, p).available;
}

uint64_t volume_bytes(const SimVolume& v, uint32_t leb) {
  return v.dynamic ? uint64_t{v.reserved_lebs} * leb : v.data_bytes;
}

const AttachedUbi* find_attached(const FlashRuntime& rt, int ubi_num) {
  for (const AttachedUbi& a : rt.attached) {
    if (a.ubi_num == ubi_num) return &a;
  }
  return nullptr;
}

AttachedUbi* find_attached(FlashRuntime& rt, int ubi_num) {
  return const_cast<AttachedUbi*>(
      find_attached(static_cast<const FlashRuntime&>(rt), ubi_num));
}

SimVolume* find_volume(SimPartition& p, int vol_id) {
  for (SimVolume& v : p.volumes) {
    if (v.id == vol_id) return &v;
  }
  return nullptr;
}

void drop_dead_openers(FlashRuntime& rt) {
  // pid 0: held by the kernel itself (a mounted block device).
  std::erase_if(rt.openers, [](const VolumeOpener& o) {
    return o.pid > 0 && ::kill(o.pid, 0) != 0 && errno == ESRCH;
  });
}

bool volume_open(FlashRuntime& rt, int ubi_num, int vol_id, OpenKind kind) {
  return std::any_of(
      rt.openers.begin(), rt.openers.end(), [&](const VolumeOpener& o) {
        return o.ubi_num == ubi_num && o.vol_id == vol_id && o.kind == kind;
      });
}

}  // namespace sim
