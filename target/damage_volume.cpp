// velnor-damage-volume: damages a UBI volume as the field does.
//
//   velnor-damage-volume NAME        leaves it as a power cut in the middle
//                                    of its update would: an update is
//                                    started and never finished, so the
//                                    volume keeps its update marker
//   velnor-damage-volume --rot NAME  changes a byte of its first logical
//                                    erase block behind UBI's back: the
//                                    block is read, erased and written again
//                                    through the MTD device with one data
//                                    byte changed, so the flash reads clean
//                                    (the NAND layer writes a new ECC) but
//                                    the CRC UBI stored in the block's
//                                    volume header no longer matches
//
// Test equipment for the emulated device.
#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/mtd-user.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "boards/board.h"
#include "bootstrap/mounts.h"
#include "common/emit_line.h"
#include "common/firmware_layout.h"
#include "common/os.h"
#include "common/unique_fd.h"
#include "flash/mtd.h"
#include "flash/ubi.h"

namespace {

uint32_t be32(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
         p[3];
}

bool read_at(int fd, off_t at, void* buffer, size_t size) {
  return os::lseek(fd, at, SEEK_SET) == at &&
         os::read(fd, buffer, size) == static_cast<ssize_t>(size);
}

// Rewrites, with one data byte changed, the erase block that holds the
// first logical block of volume id on the MTD partition of node.
int rot(const char* node, int32_t id) {
  unique_fd mtd(os::open(node, O_RDWR));
  mtd_info_user info{};
  if (!mtd.ok() || os::ioctl(mtd.get(), MEMGETINFO, &info) != 0) {
    emit_line(2, "Failed to open ", node, ": ", errno_text());
    return 1;
  }
  std::unique_ptr<unsigned char[]> block(new unsigned char[info.erasesize]);
  for (uint32_t at = 0; at < info.size; at += info.erasesize) {
    loff_t offset = at;
    if (os::ioctl(mtd.get(), MEMGETBADBLOCK, &offset) > 0) continue;
    if (!read_at(mtd.get(), at, block.get(), info.erasesize)) continue;
    // The erase counter header ("UBI#") gives where the volume header and
    // the data start; the volume header ("UBI!") which volume and block.
    const unsigned char* ec = block.get();
    if (be32(ec) != 0x55424923) continue;
    uint32_t vid = be32(ec + 16), data = be32(ec + 20);
    if (vid + 16 > info.erasesize || data >= info.erasesize) continue;
    const unsigned char* hdr = block.get() + vid;
    if (be32(hdr) != 0x55424921 || static_cast<int32_t>(be32(hdr + 8)) != id ||
        be32(hdr + 12) != 0) {
      continue;
    }
    block[data] ^= 0x10;
    erase_info_user erase{at, info.erasesize};
    if (os::ioctl(mtd.get(), MEMERASE, &erase) != 0) {
      emit_line(2, "Failed to erase: ", errno_text());
      return 1;
    }
    // Pages that were never written stay erased.
    for (uint32_t page = 0; page < info.erasesize; page += info.writesize) {
      const unsigned char* p = block.get() + page;
      bool erased = true;
      for (uint32_t i = 0; i < info.writesize && erased; ++i)
        erased = p[i] == 0xFF;
      if (erased) continue;
      if (os::lseek(mtd.get(), at + page, SEEK_SET) != at + page ||
          os::write(mtd.get(), p, info.writesize) !=
              static_cast<ssize_t>(info.writesize)) {
        emit_line(2, "Failed to write: ", errno_text());
        return 1;
      }
    }
    emit_line(1, "Rotted a byte of volume ", std::to_string(id),
              " in the erase block at ", std::to_string(at));
    return 0;
  }
  emit_line(2, "No erase block of volume ", std::to_string(id));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  bool rotten = argc == 3 && std::strcmp(argv[1], "--rot") == 0;
  if (argc != 2 && !rotten) {
    emit_line(2, "usage: velnor-damage-volume [--rot] NAME");
    return 2;
  }
  const char* name = argv[argc - 1];
  mount_medium(MEDIUM_SYSFS, nullptr, 0, 0);
  UbiInfoPtr info = ubi_info_for_mtd(device_board().ubi_partition);
  if (!info) return 1;
  UbiVolume* vol = ubi_volume_find(info.get(), name);
  if (vol == nullptr) {
    emit_line(2, "No volume ", name);
    return 1;
  }
  if (rotten) {
    int32_t id = vol->id;
    if (ubi_detach(info.get()) != 0) return 1;
    std::unique_ptr<MtdPartitionList> list = mtd_partitions_load();
    MtdPartition* partition =
        mtd_partition_find(list.get(), device_board().ubi_partition);
    const char* node =
        partition != nullptr ? mtd_char_device(partition) : nullptr;
    return node != nullptr ? rot(node, id) : 1;
  }
  {
    unique_fd update(
        ubi_volume_open_update(vol, static_cast<uint32_t>(vol->data_bytes)));
    if (!update.ok()) return 1;
  }  // closed before the detach, which an open volume would refuse
  emit_line(1, "Left an unfinished update on \"", name, "\"");
  return ubi_detach(info.get()) == 0 ? 0 : 1;
}
