// The board's NAND flash, its MTD partitions and the UBI device on them, as
// the Linux kernel presents them.
//
// What survives a restart (the flash) lives in DIR/state/flash: geometry,
// bad blocks, the partitions and, for a partition holding UBI, its volumes
// with their contents in one file each. What the running kernel holds
// (attached UBI devices, gluebi MTD devices, open volumes) lives in
// DIR/state/flash-runtime and is gone after a restart. The sysfs entries
// (/sys/class/mtd, /sys/class/ubi, /sys/class/block/mtdblock*,
// /sys/class/misc/ubi_ctrl) are rewritten from both after every change.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace sim {

// The chip as made (make_flash) or as saved: the board's NAND options
// (NandOptions, sim.h) are the one source of its defaults.
struct NandGeometry {
  uint64_t size = 0;
  uint32_t erasesize = 0;
  uint32_t pagesize = 0;
  uint32_t subpage = 0;
  uint32_t oobsize = 64;  // spare bytes of a page: the same on every board
  bool operator==(const NandGeometry&) const = default;
};

enum class Content { erased, foreign, ubi };

struct SimVolume {
  int id = 0;
  std::string name;
  bool dynamic = false;
  uint32_t reserved_lebs = 0;
  uint64_t data_bytes = 0;  // static: bytes written; dynamic: its size
  bool upd_marker = false;
  // What the kernel knows: it checks a static volume's data against the
  // CRCs stored with it only at the first open after the attach (and at
  // the end of an update), so this is clear after an attach until then.
  bool corrupted = false;
  // Its data no longer match the CRCs UBI stored with them (rotten behind
  // UBI's back, or written damaged): the check at the first open finds it.
  bool rotten = false;
  // Pages (by offset in the volume / page size) programmed a second time
  // with other data: their ECC no longer matches, and reading them fails.
  std::set<uint64_t> ecc_failed_pages;
  bool operator==(const SimVolume&) const = default;
};

struct SimPartition {
  std::string name;
  uint64_t offset = 0;
  uint64_t size = 0;
  Content content = Content::erased;
  std::set<uint32_t> erased_blocks;  // of foreign data, erased since
  uint32_t vid_hdr_offset = 0;       // of the UBI image
  std::vector<SimVolume> volumes;
  bool operator==(const SimPartition&) const = default;
};

struct Flash {
  NandGeometry geometry;
  bool badblock_ioctl = true;
  int badblock_errno = 0;         // a failing bad-block test
  std::set<uint32_t> bad_blocks;  // erase block numbers of the chip
  std::vector<SimPartition> partitions;
  bool corrupt_writes = false;   // volume writes store damaged data
  bool fail_writes = false;      // volume writes fail
  bool stall_writes = false;     // volume writes never return
  uint32_t write_delay_ms = 0;   // device time to program each erase block
  uint32_t read_delay_ms = 0;    // and to read one at a volume's check
  bool gluebi = true;            // volumes get an MTD view
  bool mtdblock_volumes = true;  // and mtdblock a block device of it
  bool ubiblock = true;          // UBI block devices can be made
  bool operator==(const Flash&) const = default;
};

struct AttachedUbi {
  int ubi_num = 0;
  int partition = 0;
  uint32_t leb_size = 0;
  // Attached read-only: the EC and VID headers share one minimal I/O unit
  // (a chip without sub-pages, the VID header inside the first page).
  bool read_only = false;
  // The static volumes checked against their CRCs since the attach.
  std::set<int> checked_volumes;
  bool operator==(const AttachedUbi&) const = default;
};

struct GluebiMtd {
  int ubi_num = 0;
  int vol_id = 0;
  int mtd_index = 0;
  uint64_t block_bytes = 0;  // the mtdblock device's size, fixed when made
  std::string name;          // the volume's name when made: renames miss it
  bool operator==(const GluebiMtd&) const = default;
};

// A UBI block device (ubiblockN_M), made on request for a volume.
struct UbiBlockDev {
  int ubi_num = 0;
  int vol_id = 0;
  int minor = 0;
  bool operator==(const UbiBlockDev&) const = default;
};

// How a volume is held: through its node, through its MTD (gluebi), or
// through its UBI block device (which opens it for reading).
enum class OpenKind { reader, writer, gluebi, block };

struct VolumeOpener {
  pid_t pid = 0;
  int ubi_num = 0;
  int vol_id = 0;
  OpenKind kind = OpenKind::reader;
  bool operator==(const VolumeOpener&) const = default;
};

struct FlashRuntime {
  std::vector<AttachedUbi> attached;
  std::vector<GluebiMtd> gluebi;
  std::vector<UbiBlockDev> ubiblocks;
  std::vector<VolumeOpener> openers;
  bool operator==(const FlashRuntime&) const = default;
};

// Device numbers of the nodes.
constexpr unsigned ubi_ctrl_major = 10, ubi_ctrl_minor = 125;
constexpr unsigned mtd_char_major = 90, mtd_block_major = 31;
constexpr unsigned ubiblock_major = 254;  // the kernel's is dynamic
constexpr unsigned ubi_major_base = 250;  // ubiN: 250 - N
inline unsigned ubi_major(int ubi_num) {
  return ubi_major_base - static_cast<unsigned>(ubi_num);
}

// Writes the flash of a new device.
bool flash_create(const std::string& dir, const Flash& flash);

// Runs fn with the flash and the kernel's state loaded under the device
// lock. When fn returns true the state is saved and sysfs rewritten.
void flash_transaction(const std::function<bool(Flash&, FlashRuntime&)>& fn);

// Moves whenever a flash transaction changes the flash.
uint64_t flash_epoch();

// Reads the flash of a device that is not attached (velnor-sim show).
bool flash_read(const std::string& dir, Flash* flash);

// The file holding a volume's content.
std::string volume_data_path(const std::string& dir, int partition, int vol_id);

// Geometry that UBI derives from the partition.
uint32_t leb_size(const Flash& flash, uint32_t vid_hdr_offset);
// The partition's erase blocks as UBI counts them.
struct UbiBlocks {
  uint32_t good = 0;
  uint32_t bad = 0;
  uint32_t reserved_for_bad = 0;  // kept back to replace blocks going bad
  uint32_t available = 0;         // for volumes, before any is made
};
UbiBlocks ubi_blocks(const Flash& flash, const SimPartition& partition);
uint32_t available_lebs(const Flash& flash, const SimPartition& partition);
uint64_t volume_bytes(const SimVolume& vol, uint32_t leb);

// Lookups in the running kernel's state.
const AttachedUbi* find_attached(const FlashRuntime& rt, int ubi_num);
AttachedUbi* find_attached(FlashRuntime& rt, int ubi_num);
SimVolume* find_volume(SimPartition& partition, int vol_id);
bool volume_open(FlashRuntime& rt, int ubi_num, int vol_id, OpenKind kind);
void drop_dead_openers(FlashRuntime& rt);

}  // namespace sim
