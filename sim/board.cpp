#include "sim/board.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

#include "sim/flash_model.h"
#include "sim/kernel_state.h"
#include "sim/nodes.h"
#include "sim/sim.h"
#include "sim/state_files.h"
#include "sim/state_records.h"

namespace fs = std::filesystem;

namespace sim {
namespace {

int fail(int error) {
  errno = error;
  return -1;
}

uint32_t encode(unsigned major, unsigned minor) {
  return (minor & 0xFF) | ((major & 0xFFF) << 8) |
         (((minor >> 8) & 0xFFF) << 20);
}

void put(const fs::path& p, const std::string& text) {
  std::error_code ec;
  fs::create_directories(p.parent_path(), ec);
  std::ofstream(p, std::ios::trunc) << text;
}

std::string read_line(const fs::path& p) {
  std::ifstream in(p);
  std::string line;
  std::getline(in, line);
  return line;
}

// The slot's medium on the device's board.
const BoardMedium& info(const std::string& dir, Medium m) {
  const Board& b = board_of(dir);
  return m == Medium::mmc ? b.card : b.stick;
}
const char* const medium_names[] = {"mmc", "usb"};

// /dev/mem: the register's page, kept in a file so it survives restarts.
class Mem : public OpenDevice {
 public:
  void* mmap(size_t length, int prot, int flags, off_t offset) override {
    // The page of the device's board; a program built for another board
    // maps another page, and is refused as /dev/mem refuses RAM.
    if (static_cast<uint64_t>(offset) !=
            bootflag_page_of(board_of(device_dir())) ||
        length != 4096) {
      errno = EPERM;  // RAM and everything else is off limits
      return MAP_FAILED;
    }
    int fd = ::open(bootflag_file(device_dir()).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      errno = EINVAL;
      return MAP_FAILED;
    }
    void* p = ::mmap(nullptr, length, prot, flags, fd, 0);
    int saved = errno;
    ::close(fd);
    errno = saved;
    return p;
  }
  ssize_t read(void*, size_t) override { return fail(EFAULT); }
};

// A medium's block device, as read by whoever looks for a file system on
// it: the first blocks carry the signature of the file system it holds
// (each at the offset its own format keeps it), the rest read as zeros.
class BlockMedium : public OpenDevice {
 public:
  explicit BlockMedium(const std::string& fstype) {
    auto put = [&](size_t offset, std::string_view bytes) {
      head_.replace(offset, bytes.size(), bytes);
    };
    if (fstype == "ext2" || fstype == "ext3" || fstype == "ext4") {
      put(1080, "\x53\xEF");
    } else if (fstype == "vfat") {
      put(82, "FAT32   ");
      put(510, "\x55\xAA");
    } else if (fstype == "exfat") {
      put(3, "EXFAT   ");
    } else if (fstype == "ntfs") {
      put(3, "NTFS    ");
    }
  }
  ssize_t read(void* buffer, size_t count) override {
    if (pos_ >= size_) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, size_ - pos_));
    char* out = static_cast<char*>(buffer);
    std::memset(out, 0, count);
    if (pos_ < head_.size()) {
      size_t n = std::min(count, head_.size() - static_cast<size_t>(pos_));
      std::memcpy(out, head_.data() + pos_, n);
    }
    pos_ += count;
    return static_cast<ssize_t>(count);
  }
  off_t lseek(off_t offset, int whence) override {
    off_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? static_cast<off_t>(pos_)
                 : whence == SEEK_END ? static_cast<off_t>(size_)
                                      : -1;
    if (base < 0 || base + offset < 0) return fail(EINVAL);
    pos_ = static_cast<uint64_t>(base + offset);
    return static_cast<off_t>(pos_);
  }

 private:
  std::string head_ = std::string(4096, '\0');
  uint64_t pos_ = 0;
  uint64_t size_ = uint64_t{64} << 20;  // a 64 MiB card or stick
};

}  // namespace

// ---- boot flag register ----

std::string bootflag_file(const std::string& dir) {
  return dir + "/state/bootflag";
}

const Board& board_of(const std::string& dir) {
  static std::string cached_dir;
  static const Board* cached = nullptr;
  if (cached == nullptr || dir != cached_dir) {
    std::ifstream in(dir + "/state/board");
    std::string name = "reference";  // a device made before boards had names
    in >> name;
    cached = find_board(name);
    if (cached == nullptr) cached = &boards[0];
    cached_dir = dir;
  }
  return *cached;
}

std::optional<uint32_t> bootflag_get(const std::string& dir) {
  std::ifstream in(bootflag_file(dir), std::ios::binary);
  in.seekg(static_cast<std::streamoff>(bootflag_offset_of(board_of(dir))));
  uint32_t v = 0;
  if (!in.read(reinterpret_cast<char*>(&v), 4)) return std::nullopt;
  return v;
}

bool bootflag_set(const std::string& dir, uint32_t value) {
  std::fstream f(bootflag_file(dir),
                 std::ios::binary | std::ios::in | std::ios::out);
  if (!f) return false;
  f.seekp(static_cast<std::streamoff>(bootflag_offset_of(board_of(dir))));
  f.write(reinterpret_cast<const char*>(&value), 4);
  return static_cast<bool>(f);
}

std::unique_ptr<OpenDevice> open_mem(int) {
  if (!fs::exists(bootflag_file(device_dir()))) {
    errno = ENXIO;
    return nullptr;
  }
  return std::make_unique<Mem>();
}

// ---- removable media ----

const char* medium_name(Medium m) { return medium_names[static_cast<int>(m)]; }

std::string medium_files(const std::string& dir, Medium m) {
  return dir + "/media/" + medium_name(m);
}

MediumState medium_get(const std::string& dir, Medium m) {
  return state_record<MediumState>(
      read_state(dir + "/state/medium-" + medium_name(m)).value_or(""));
}

void medium_set(const std::string& dir, Medium m, const MediumState& s) {
  put(dir + "/state/medium-" + medium_name(m), state_text(s));
  std::error_code ec;
  fs::create_directories(medium_files(dir, m), ec);
}

std::optional<Medium> medium_of_device(unsigned major, unsigned minor) {
  for (Medium m : {Medium::mmc, Medium::usb}) {
    const BoardMedium& b = info(device_dir(), m);
    if (b.major == major && b.minor == minor) return m;
  }
  return std::nullopt;
}

std::optional<Medium> medium_of_mount(uint32_t dev) {
  for (Medium m : {Medium::mmc, Medium::usb}) {
    const BoardMedium& b = info(device_dir(), m);
    if (encode(b.major, b.minor) == dev) return m;
  }
  return std::nullopt;
}

std::unique_ptr<OpenDevice> open_medium(Medium m, int) {
  MediumState state = medium_get(device_dir(), m);
  if (!state.present) {
    errno = ENOMEDIUM;
    return nullptr;
  }
  return std::make_unique<BlockMedium>(state.fstype);
}

// ---- mounts ----

namespace {

// Every change of the mount table moves its epoch (under the lock).
void mounts_changed(KernelState& s) {
  std::atomic_ref<uint64_t>(s.mounts_epoch)
      .fetch_add(1, std::memory_order_release);
}

SimMount* mount_at(KernelState& s, const std::string& target) {
  for (SimMount& m : s.mounts) {
    if (m.used && target == m.target) return &m;
  }
  return nullptr;
}

// What a block device holds, for a mount of it.
struct Source {
  uint32_t dev;
  std::string backing;
  std::string note;
};

// The root image on a volume's block device of that many bytes: squashfs
// reads its superblock first.
int mount_squashfs(const AttachedUbi& a, const SimVolume& v, uint64_t bytes,
                   const char* fstype, Source* out) {
  if (std::string(fstype) != "squashfs") return fail(EINVAL);
  if (bytes < 4) return fail(EIO);  // it cannot read its superblock's block
  std::ifstream in(volume_data_path(device_dir(), a.partition, v.id),
                   std::ios::binary);
  char magic[4] = {};
  in.read(magic, 4);
  if (std::memcmp(magic, "hsqs", 4) != 0) return fail(EINVAL);
  out->backing = device_dir() + "/state/rootfs-mount";
  std::error_code ec;
  fs::create_directories(out->backing, ec);
  out->note = "volume " + v.name + " " + std::to_string(bytes) + " bytes";
  return 0;
}

int block_source(const char* source, const char* fstype, Source* out) {
  std::optional<std::string> host = host_path(source);
  if (!host) return -1;
  struct stat st;
  if (::stat(host->c_str(), &st) != 0) return -1;
  std::optional<NodeId> node = read_node(*host);
  if (!node || node->type != S_IFBLK) return fail(ENOTBLK);
  out->dev = encode(node->major, node->minor);
  if (std::optional<Medium> m = medium_of_device(node->major, node->minor)) {
    MediumState state = medium_get(device_dir(), *m);
    if (!state.present) return fail(ENOMEDIUM);
    // The ext4 driver mounts ext3; vfat is vfat.
    std::string asked = fstype;
    bool type_ok =
        asked == state.fstype || (state.fstype == "ext3" && asked == "ext4");
    if (state.fstype.empty() || !type_ok) return fail(EINVAL);
    out->backing = medium_files(device_dir(), *m);
    out->note = std::string(medium_name(*m)) + " " + state.fstype;
    return 0;
  }
  if (node->major == mtd_block_major || node->major == ubiblock_major) {
    int rc = fail(ENXIO);
    flash_transaction([&](Flash& f, FlashRuntime& rt) {
      // The volume behind the block device, and the bytes the device has.
      int ubi_num = -1, vol_id = -1;
      uint64_t bytes = 0;
      OpenKind kind = OpenKind::gluebi;
      if (node->major == mtd_block_major && f.mtdblock_volumes) {
        for (const GluebiMtd& g : rt.gluebi) {
          if (g.mtd_index != static_cast<int>(node->minor)) continue;
          ubi_num = g.ubi_num, vol_id = g.vol_id, bytes = g.block_bytes;
        }
      }
      const AttachedUbi* a = nullptr;
      if (node->major == ubiblock_major) {
        kind = OpenKind::block;
        for (const UbiBlockDev& b : rt.ubiblocks) {
          if (b.minor != static_cast<int>(node->minor)) continue;
          ubi_num = b.ubi_num, vol_id = b.vol_id;
        }
      }
      a = find_attached(rt, ubi_num);
      SimVolume* v =
          a ? find_volume(f.partitions[static_cast<size_t>(a->partition)],
                          vol_id)
            : nullptr;
      if (v == nullptr) return false;
      // A UBI block device follows the volume's size, in whole sectors.
      if (kind == OpenKind::block)
        bytes = volume_bytes(*v, a->leb_size) / 512 * 512;
      rc = mount_squashfs(*a, *v, bytes, fstype, out);
      if (rc != 0) return false;
      // Mounted, the volume is held through its block device.
      rt.openers.push_back({0, ubi_num, vol_id, kind});
      return true;
    });
    return rc;
  }
  return fail(ENXIO);
}

}  // namespace

int board_mount(const char* source, const char* target, const char* fstype,
                unsigned long flags) {
  std::optional<Resolved> t = resolve_path(target);
  if (!t) return -1;
  struct stat st;
  if (::stat(t->host.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) return fail(ENOTDIR);
  std::string canonical = t->device;
  if (flags & MS_REMOUNT) {
    int rc = fail(EINVAL);
    kernel_locked([&](KernelState& s) {
      if (SimMount* m = mount_at(s, canonical)) {
        m->flags = static_cast<uint32_t>(flags & ~MS_REMOUNT);
        mounts_changed(s);
        rc = 0;
      }
    });
    return rc;
  }
  if (fstype == nullptr) return fail(EINVAL);
  Source src{};
  std::string type = fstype;
  if (type == "sysfs") {
    src.dev = encode(0, 20);
  } else if (type == "proc") {
    src.dev = encode(0, 21);
  } else if (type == "ext3" || type == "ext4" || type == "vfat" ||
             type == "squashfs") {
    if (source == nullptr) return fail(EINVAL);
    if (block_source(source, fstype, &src) != 0) return -1;
  } else {
    return fail(ENODEV);
  }
  int rc = fail(EBUSY);
  kernel_locked([&](KernelState& s) {
    if (mount_at(s, canonical) != nullptr) return;
    for (SimMount& m : s.mounts) {
      if (m.used) continue;
      m = SimMount{};
      m.used = 1;
      m.flags = static_cast<uint32_t>(flags);
      m.dev = src.dev;
      std::snprintf(m.target, sizeof m.target, "%s", canonical.c_str());
      std::snprintf(m.source, sizeof m.source, "%s", source ? source : "");
      std::snprintf(m.fstype, sizeof m.fstype, "%s", fstype);
      std::snprintf(m.backing, sizeof m.backing, "%s", src.backing.c_str());
      std::snprintf(m.note, sizeof m.note, "%s", src.note.c_str());
      mounts_changed(s);
      rc = 0;
      return;
    }
    errno = ENOMEM;
  });
  return rc;
}

int board_umount(const char* target) {
  std::optional<Resolved> t = resolve_path(target);
  if (!t) return -1;
  int rc = fail(EINVAL);
  bool root = false;
  kernel_locked([&](KernelState& s) {
    if (SimMount* m = mount_at(s, t->device)) {
      root = std::string(m->fstype) == "squashfs";
      *m = SimMount{};
      mounts_changed(s);
      rc = 0;
    }
  });
  if (root) {
    flash_transaction([](Flash&, FlashRuntime& rt) {
      std::erase_if(rt.openers,
                    [](const VolumeOpener& o) { return o.pid == 0; });
      return true;
    });
  }
  return rc;
}

// ---- LEDs ----

void led_attribute_written(const std::string& device_path) {
  const std::string prefix = "/sys/class/leds/";
  if (device_path.compare(0, prefix.size(), prefix) != 0) return;
  fs::path p = host_path(device_path).value_or("");
  std::string name = p.filename();
  fs::path led = p.parent_path();
  std::string value = read_line(p);
  std::error_code ec;
  bool timer = name == "trigger" && value == "timer";
  bool off = (name == "trigger" && value != "timer") ||
             (name == "brightness" && value == "0");
  if (timer) {
    // The timer trigger brings its two attributes, at 500 ms each.
    if (!fs::exists(led / "delay_on")) put(led / "delay_on", "500\n");
    if (!fs::exists(led / "delay_off")) put(led / "delay_off", "500\n");
  } else if (off) {
    fs::remove(led / "delay_on", ec);
    fs::remove(led / "delay_off", ec);
    if (name == "brightness") put(led / "trigger", "none\n");
  }
}

// ---- restart ----

void board_reset(const std::string& dir, const std::string& cmdline) {
  std::error_code ec;
  kernel_peek((dir + "/state/kernel").c_str(), [&](KernelState& s) {
    uint32_t magic = s.magic, version = s.version;
    // The flash epoch only ever moves on: a process that knows the flash's
    // state by it (the one that restarts the board, say) sees the change.
    uint64_t flash_epoch = s.flash_epoch, mounts_epoch = s.mounts_epoch;
    s = KernelState{};
    s.magic = magic;
    s.version = version;
    s.flash_epoch = flash_epoch + 1;
    s.mounts_epoch = mounts_epoch + 1;
    // The flash keeps what it holds; the kernel's view of it starts afresh.
    std::ofstream(dir + "/state/flash-runtime", std::ios::trunc);
  });
  fs::remove(dir + "/state/outcome", ec);
  fs::remove(dir + "/state/boot", ec);
  fs::remove(dir + "/state/firmware_init", ec);
  fs::remove_all(dir + "/state/rootfs-mount", ec);

  // The initramfs as it was packed: /dev holds the register's node only.
  fs::path root = dir + "/root";
  fs::remove_all(root / "dev", ec);
  fs::remove_all(root / "tmp", ec);
  for (const char* d :
       {"dev", "tmp", "mnt/mmc", "mnt/usb", "root", "proc", "sys"}) {
    fs::create_directories(root / d, ec);
  }
  if (fs::exists(bootflag_file(dir))) {
    make_node((root / "dev/mem").string(), S_IFCHR | 0600, makedev(1, 1));
  }
  put(root / "proc/cmdline", cmdline + "\n");

  for (const char* led : {board_of(dir).led_red, board_of(dir).led_green}) {
    fs::path l = root / "sys/class/leds" / led;
    fs::remove_all(l, ec);
    put(l / "brightness", "0\n");
    put(l / "max_brightness", "255\n");
    put(l / "trigger", "none\n");
  }
  fs::create_directories(root / "sys/class/block", ec);
  for (int i = 0; i < 2; ++i) {
    auto m = static_cast<Medium>(i);
    const BoardMedium& b = info(dir, m);
    fs::path entry = root / std::string(b.sysfs).substr(1);
    fs::remove_all(entry, ec);
    MediumState state = medium_get(dir, m);
    std::string devnum =
        std::to_string(b.major) + ":" + std::to_string(b.minor);
    if (state.present && state.late_ms == 0) put(entry / "dev", devnum + "\n");
  }
}

}  // namespace sim
