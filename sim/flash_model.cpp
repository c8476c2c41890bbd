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
#include "sim/sysfs_tree.h"

namespace sim {
namespace {

const char* content_name(Content c) {
  return c == Content::erased    ? "erased"
         : c == Content::foreign ? "foreign"
                                 : "ubi";
}
Content content_from(const std::string& s) {
  return s == "ubi"       ? Content::ubi
         : s == "foreign" ? Content::foreign
                          : Content::erased;
}

std::string flash_file(const std::string& dir) { return dir + "/state/flash"; }
std::string runtime_file(const std::string& dir) {
  return dir + "/state/flash-runtime";
}

// The rest of a line after n words: names may hold blanks.
std::string rest_of(std::istringstream& in) {
  std::string rest;
  std::getline(in, rest);
  if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  return rest;
}

void parse_flash(const std::string& text, Flash* f) {
  std::istringstream in(text);
  *f = Flash{};
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string word;
    l >> word;
    if (word == "geometry") {
      l >> f->geometry.size >> f->geometry.erasesize >> f->geometry.pagesize >>
          f->geometry.subpage >> f->geometry.oobsize >> f->badblock_ioctl >>
          f->badblock_errno;
    } else if (word == "bad") {
      uint32_t b;
      while (l >> b) f->bad_blocks.insert(b);
    } else if (word == "corrupt_writes") {
      l >> f->corrupt_writes >> f->fail_writes >> f->gluebi >>
          f->stall_writes >> f->write_delay_ms;
    } else if (word == "block_devices") {
      l >> f->mtdblock_volumes >> f->ubiblock;
    } else if (word == "partition") {
      SimPartition p;
      std::string content;
      size_t erased = 0;
      l >> p.offset >> p.size >> content >> p.vid_hdr_offset >> erased;
      p.content = content_from(content);
      for (size_t i = 0; i < erased; ++i) {
        uint32_t b;
        l >> b;
        p.erased_blocks.insert(b);
      }
      p.name = rest_of(l);
      f->partitions.push_back(p);
    } else if (word == "volume" && !f->partitions.empty()) {
      SimVolume v;
      l >> v.id >> v.dynamic >> v.reserved_lebs >> v.data_bytes >>
          v.upd_marker >> v.corrupted;
      v.name = rest_of(l);
      f->partitions.back().volumes.push_back(v);
    } else if (word == "rotten" && !f->partitions.empty() &&
               !f->partitions.back().volumes.empty()) {
      f->partitions.back().volumes.back().rotten = true;
    } else if (word == "ecc" && !f->partitions.empty() &&
               !f->partitions.back().volumes.empty()) {
      uint64_t page;
      while (l >> page)
        f->partitions.back().volumes.back().ecc_failed_pages.insert(page);
    }
  }
}

std::string flash_text(const Flash& f) {
  std::ostringstream out;
  const NandGeometry& g = f.geometry;
  out << "geometry " << g.size << ' ' << g.erasesize << ' ' << g.pagesize << ' '
      << g.subpage << ' ' << g.oobsize << ' ' << f.badblock_ioctl << ' '
      << f.badblock_errno << '\n';
  out << "bad";
  for (uint32_t b : f.bad_blocks) out << ' ' << b;
  out << "\ncorrupt_writes " << f.corrupt_writes << ' ' << f.fail_writes << ' '
      << f.gluebi << ' ' << f.stall_writes << ' ' << f.write_delay_ms << '\n';
  out << "block_devices " << f.mtdblock_volumes << ' ' << f.ubiblock << '\n';
  for (const SimPartition& p : f.partitions) {
    out << "partition " << p.offset << ' ' << p.size << ' '
        << content_name(p.content) << ' ' << p.vid_hdr_offset << ' '
        << p.erased_blocks.size();
    for (uint32_t b : p.erased_blocks) out << ' ' << b;
    out << ' ' << p.name << '\n';
    for (const SimVolume& v : p.volumes) {
      out << "volume " << v.id << ' ' << v.dynamic << ' ' << v.reserved_lebs
          << ' ' << v.data_bytes << ' ' << v.upd_marker << ' ' << v.corrupted
          << ' ' << v.name << '\n';
      if (v.rotten) out << "rotten\n";
      if (!v.ecc_failed_pages.empty()) {
        out << "ecc";
        for (uint64_t page : v.ecc_failed_pages) out << ' ' << page;
        out << '\n';
      }
    }
  }
  return out.str();
}

FlashRuntime parse_runtime(const std::string& text) {
  FlashRuntime rt;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string word;
    l >> word;
    if (word == "attached") {
      AttachedUbi a{};
      l >> a.ubi_num >> a.partition >> a.leb_size >> a.read_only;
      rt.attached.push_back(a);
    } else if (word == "gluebi") {
      GluebiMtd g{};
      l >> g.ubi_num >> g.vol_id >> g.mtd_index >> g.block_bytes;
      g.name = rest_of(l);
      rt.gluebi.push_back(g);
    } else if (word == "ubiblock") {
      UbiBlockDev b{};
      l >> b.ubi_num >> b.vol_id >> b.minor;
      rt.ubiblocks.push_back(b);
    } else if (word == "open") {
      VolumeOpener o{};
      int kind = 0;
      l >> o.pid >> o.ubi_num >> o.vol_id >> kind;
      o.kind = static_cast<OpenKind>(kind);
      rt.openers.push_back(o);
    }
  }
  return rt;
}

std::string runtime_text(const FlashRuntime& rt) {
  std::ostringstream out;
  for (const AttachedUbi& a : rt.attached) {
    out << "attached " << a.ubi_num << ' ' << a.partition << ' ' << a.leb_size
        << ' ' << a.read_only << '\n';
  }
  for (const GluebiMtd& g : rt.gluebi) {
    out << "gluebi " << g.ubi_num << ' ' << g.vol_id << ' ' << g.mtd_index
        << ' ' << g.block_bytes << ' ' << g.name << '\n';
  }
  for (const UbiBlockDev& b : rt.ubiblocks) {
    out << "ubiblock " << b.ubi_num << ' ' << b.vol_id << ' ' << b.minor
        << '\n';
  }
  for (const VolumeOpener& o : rt.openers) {
    out << "open " << o.pid << ' ' << o.ubi_num << ' ' << o.vol_id << ' '
        << static_cast<int>(o.kind) << '\n';
  }
  return out.str();
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
    parse_flash(*k.flash_text, &k.flash);
  } else {
    // A device without flash: the transaction sees an empty chip.
    k.flash.geometry.size = 0;
  }
  k.runtime_text = read_state(runtime_file(dir)).value_or("");
  k.runtime = parse_runtime(k.runtime_text);
  k.sysfs_record.clear();
}

}  // namespace

bool flash_create(const std::string& dir, const Flash& flash) {
  known_state().dir.clear();  // whatever was known of a device here is gone
  rewrite_file(flash_file(dir), flash_text(flash));
  rewrite_file(runtime_file(dir), runtime_text(FlashRuntime{}));
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
  if (text) parse_flash(*text, flash);
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
    // Only a file whose state changed is rewritten; what is kept is parsed
    // from the text written, so that it is what any other process reads.
    if (std::string text = flash_text(f); text != k.flash_text) {
      rewrite_file(flash_file(dir), text);
      parse_flash(text, &k.flash);
      k.flash_text = std::move(text);
    }
    if (std::string text = runtime_text(rt); text != k.runtime_text) {
      rewrite_file(runtime_file(dir), text);
      k.runtime = parse_runtime(text);
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
