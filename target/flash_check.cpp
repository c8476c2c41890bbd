// velnor-flash-check: runs one fixed sequence of the flash layer's work and
// prints what the kernel answered at each step, so that the transcript from
// the real kernel (the emulated device) and the one from the simulated device
// can be compared line by line.
//
// Usage: velnor-flash-check [IMAGE]   (default /flash-check/rootfs.squashfs)
#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/mtd-user.h>
#include <mtd/ubi-user.h>
#include <sys/stat.h>

#include <map>
#include <string>

#include "boards/board.h"
#include "bootstrap/modules.h"
#include "bootstrap/mounts.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/sysfs.h"
#include "common/unique_fd.h"
#include "flash/mtd.h"
#include "flash/ubi.h"
#include "package/validate.h"

namespace {

constexpr char mount_point[] = "/root";

void step(const char* what) { emit_line(1, "== ", what); }

std::string hex(uint32_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4)
    text += digits[(value >> shift) & 0xF];
  return text;
}

void print_partitions(MtdPartitionList* list) {
  // By number: the order of a sysfs listing is the kernel's own business.
  std::map<int32_t, std::string> lines;
  for (const MtdPartition* p = list->head.get(); p != nullptr;
       p = p->next.get()) {
    lines[p->index] = "mtd" + std::to_string(p->index) + " \"" + p->name +
                      "\" " + p->type + " " + std::to_string(p->size);
  }
  for (const auto& [index, line] : lines) emit_line(1, line);
}

void print_volumes(const UbiInfo* info) {
  std::map<int32_t, std::string> lines;
  for (const UbiVolume* v = info->volumes.get(); v != nullptr;
       v = v->next.get()) {
    std::string status;
    if (v->status & ubi_status_corrupted) status += " corrupted";
    if (v->status & ubi_status_empty) status += " empty";
    if (v->status & ubi_status_update) status += " under-update";
    if (status.empty()) status = " sound";
    lines[v->id] = "volume " + std::to_string(v->id) + " \"" +
                   v->name.value_or("(none)") + "\" " + v->device + " " +
                   v->sysfs + " eb " + std::to_string(v->usable_eb_size) +
                   " data " + std::to_string(v->data_bytes) + status;
  }
  emit_line(1, info->device, ": ", lines.empty() ? "no volumes" : "volumes:");
  for (const auto& [id, line] : lines) emit_line(1, line);
}

UbiInfoPtr attach() {
  UbiInfoPtr info = ubi_info_for_mtd(device_board().ubi_partition);
  if (info) print_volumes(info.get());
  return info;
}

void print_block_device(MtdPartition* partition) {
  const char* block = mtd_block_device(partition);
  if (block == nullptr) return;
  int64_t sectors = -1;
  sysfs_read_int64(partition->block_sysfs, "size", &sectors);
  emit_line(1, block, " sectors ", std::to_string(sectors));
}

// The gluebi MTD of a volume and its block device.
MtdPartition* find_volume_mtd(const UbiVolume* vol,
                              std::unique_ptr<MtdPartitionList>& list) {
  list = mtd_partitions_load();
  if (!list) return nullptr;
  print_partitions(list.get());
  MtdPartition* partition = ubi_volume_mtd(vol, list.get());
  if (partition == nullptr) {
    emit_line(1, "no MTD for ", vol->name.value_or("(none)"));
    return nullptr;
  }
  emit_line(1, "\"", vol->name.value_or("(none)"), "\" is mtd",
            std::to_string(partition->index));
  print_block_device(partition);
  return partition;
}

// An image that the reader hands out a piece at a time.
struct Pattern {
  uint32_t size;
  uint32_t seed;
  uint32_t pos = 0;
  static ssize_t read(void* context, void* buffer, size_t count) {
    auto* self = static_cast<Pattern*>(context);
    auto* out = static_cast<unsigned char*>(buffer);
    size_t n = 0;
    for (; n < count && self->pos < self->size; ++n, ++self->pos) {
      out[n] = static_cast<unsigned char>((self->pos * 31 + self->pos / 977) ^
                                          self->seed);
    }
    return static_cast<ssize_t>(n);
  }
};

// Whether a volume reads back as the image (the rest of it erased), or the
// read's error.
void print_volume_holds(const UbiVolume* vol, Pattern image) {
  unique_fd in(os::open(vol->device.c_str(), O_RDONLY));
  std::string expected(static_cast<size_t>(vol->data_bytes), '\xFF');
  image.pos = 0;
  Pattern::read(&image, expected.data(), image.size);
  std::string got(expected.size(), '\0');
  ssize_t n = in.ok() ? 0 : -1;
  for (size_t at = 0; n >= 0 && at < got.size(); at += static_cast<size_t>(n)) {
    n = os::read(in.get(), got.data() + at, got.size() - at);
    if (n == 0) break;
  }
  if (n < 0) {
    emit_line(1, "read back failed: ", errno_text());
  } else {
    emit_line(1, "read back: ", got == expected ? "the image" : "other data");
  }
}

void print_int_attribute(const std::string& dir, const char* name) {
  int64_t value = -1;
  sysfs_read_int64(dir, name, &value);
  emit_line(1, name, " ", std::to_string(value));
}

void try_mount(const UbiVolume* vol) {
  std::unique_ptr<MtdPartitionList> list;
  MtdPartition* partition = find_volume_mtd(vol, list);
  if (partition == nullptr) return;
  if (mount_root(partition, mount_point) == 0) {
    emit_line(1, "mounted at ", mount_point,
              is_mount_point(mount_point) ? "" : " (not a mount point)");
    if (os::umount2(mount_point, 0) != 0)
      emit_line(1, "umount failed: ", errno_text());
  }
}

int check(const char* image) {
  uint32_t image_crc = 0;
  struct stat st {};
  if (os::stat(image, &st) != 0 || file_crc32(image, &image_crc) != 0) {
    emit_line(2, "Cannot read ", image, ": ", errno_text());
    return 1;
  }
  const auto image_size = static_cast<uint32_t>(st.st_size);

  step("mount sysfs and proc, load modules");
  mount_medium(MEDIUM_SYSFS, nullptr, 0, 0);
  mount_medium(MEDIUM_PROC, nullptr, 0, 0);
  emit_line(1, "modprobe: ", std::to_string(load_modules()));

  step("MTD partitions");
  {
    auto list = mtd_partitions_load();
    if (!list) return 1;
    print_partitions(list.get());
  }

  step("bad blocks");
  {
    auto list = mtd_partitions_load();
    MtdPartition* nand =
        list ? mtd_partition_find(list.get(), device_board().ubi_partition)
             : nullptr;
    const char* node = nand ? mtd_char_device(nand) : nullptr;
    unique_fd mtd(node ? os::open(node, O_RDONLY) : -1);
    std::string bad;
    for (int64_t offset = 0; mtd.ok() && offset < nand->size;
         offset += 131072) {
      int64_t at = offset;
      if (os::ioctl(mtd.get(), MEMGETBADBLOCK, &at) > 0)
        bad += " " + std::to_string(offset / 131072);
    }
    emit_line(1, "bad:", bad.empty() ? " none" : bad);
  }

  step("attach");
  UbiInfoPtr info = attach();
  if (!info) return 1;
  for (const char* name : {"total_eraseblocks", "bad_peb_count",
                           "reserved_for_bad", "avail_eraseblocks"}) {
    print_int_attribute("/sys/class/ubi/ubi0", name);
  }
  step("attach again: found attached");
  info = attach();
  if (!info) return 1;

  step("create a static and a dynamic volume");
  UbiVolume* rootfs = ubi_volume_create(info.get(), "rootfs", image_size, 0);
  UbiVolume* data = ubi_volume_create(info.get(), "data", 3 * 129024, 1);
  print_volumes(info.get());
  if (rootfs == nullptr || data == nullptr) return 1;

  step("the static volume's MTD before it is written");
  {
    std::unique_ptr<MtdPartitionList> list;
    find_volume_mtd(rootfs, list);
  }

  step("write the image");
  {
    unique_fd in(os::open(image, O_RDONLY));
    if (!in.ok() || ubi_volume_flash_fd(rootfs, in.get(), image_size) != 0)
      return 1;
  }
  ubi_volume_refresh(rootfs);
  print_volumes(info.get());

  step("read back");
  uint32_t volume_crc = 0;
  if (file_crc32(rootfs->device.c_str(), &volume_crc) != 0) {
    emit_line(1, "read back failed: ", errno_text());
    return 1;
  }
  emit_line(1, "image crc ", hex(~image_crc), ", volume crc ", hex(~volume_crc),
            volume_crc == image_crc ? ": equal" : ": DIFFERENT");

  step("an update while a reader holds the volume");
  {
    unique_fd reader(os::open(rootfs->device.c_str(), O_RDONLY));
    unique_fd writer(os::open(rootfs->device.c_str(), O_RDWR));
    int64_t bytes = image_size;
    int rc = reader.ok() && writer.ok()
                 ? os::ioctl(writer.get(), UBI_IOCVOLUP, &bytes)
                 : -1;
    emit_line(1, "update: ", std::to_string(rc), rc < 0 ? ": " : "",
              rc < 0 ? errno_text() : "");
  }

  step("mount before a new attach");
  try_mount(rootfs);

  step("detach and attach");
  if (ubi_detach(info.get()) != 0) return 1;
  info = attach();
  if (!info) return 1;
  rootfs = ubi_volume_find(info.get(), "rootfs");
  data = ubi_volume_find(info.get(), "data");
  if (rootfs == nullptr || data == nullptr) return 1;

  step("mount");
  try_mount(rootfs);

  step("a write through the busy volume's MTD");
  {
    std::unique_ptr<MtdPartitionList> list;
    MtdPartition* mtd = find_volume_mtd(data, list);
    const char* node = mtd ? mtd_char_device(mtd) : nullptr;
    // A user of the MTD view holds the volume for writing.
    unique_fd holder(node ? os::open(node, O_RDONLY) : -1);
    Pattern first{2 * 129024 + 4096, 0x00};
    emit_line(1, "flash: ",
              std::to_string(
                  ubi_volume_flash(data, Pattern::read, &first, first.size)));
    print_volume_holds(data, first);
    // The same pages programmed again, without an erase.
    Pattern second{2 * 129024 + 4096, 0xFF};
    emit_line(1, "flash again: ",
              std::to_string(
                  ubi_volume_flash(data, Pattern::read, &second, second.size)));
    print_volume_holds(data, second);
  }

  step("rename");
  const UbiRename renames[] = {{"rootfs_old", rootfs}, {"data_old", data}};
  emit_line(1, "rename: ",
            std::to_string(ubi_volumes_rename(info.get(), 2, renames)));
  ubi_volumes_refresh(info.get());
  print_volumes(info.get());

  step("rename while a reader holds the volume");
  {
    unique_fd reader(os::open(rootfs->device.c_str(), O_RDONLY));
    const UbiRename back[] = {{"rootfs", rootfs}};
    emit_line(
        1, "rename: ", std::to_string(ubi_volumes_rename(info.get(), 1, back)));
    ubi_volumes_refresh(info.get());
    print_volumes(info.get());

    step("remove a volume a reader holds");
    emit_line(
        1, "remove: ", std::to_string(ubi_volume_remove(info.get(), rootfs)));
  }

  step("a name that is taken");
  emit_line(1, "create: ",
            ubi_volume_create(info.get(), "rootfs", 1000, 0) ? "made" : "none");

  step("a volume larger than the free space");
  {
    const std::string ubi = "/sys/class/ubi/ubi0";
    print_int_attribute(ubi, "avail_eraseblocks");
    int64_t avail = 0, leb = 0;
    sysfs_read_int64(ubi, "avail_eraseblocks", &avail);
    sysfs_read_int64(ubi, "eraseblock_size", &leb);
    auto bytes = static_cast<uint32_t>(avail * leb);
    emit_line(
        1, "one erase block more: ",
        ubi_volume_create(info.get(), "big", bytes + 1, 0) ? "made" : "none");
    UbiVolume* big = ubi_volume_create(info.get(), "big", bytes, 0);
    emit_line(1, "all of it: ", big ? "made" : "none");
    print_int_attribute(ubi, "avail_eraseblocks");
    if (big)
      emit_line(1,
                "remove: ", std::to_string(ubi_volume_remove(info.get(), big)));
  }

  step("remove");
  emit_line(1,
            "remove: ", std::to_string(ubi_volume_remove(info.get(), rootfs)),
            " ", std::to_string(ubi_volume_remove(info.get(), data)));
  print_volumes(info.get());
  {
    auto list = mtd_partitions_load();
    if (list) print_partitions(list.get());
  }

  step("two volumes renamed over the names of two others");
  {
    // The installation's swap: the volumes whose names are taken, and that
    // are not renamed themselves, are removed in the same request.
    UbiVolume* made[4] = {};
    const char* names[4] = {"kernel", "rootfs", "kernel_new", "rootfs_new"};
    for (int i = 0; i < 4; ++i) {
      made[i] = ubi_volume_create(info.get(), names[i], 1000 * (i + 1), 0);
      if (made[i] == nullptr) return 1;
    }
    UbiVolume gone = {};
    gone.id = made[0]->id;
    const UbiRename swap[] = {{"rootfs", made[3]}, {"kernel", made[2]}};
    emit_line(
        1, "rename: ", std::to_string(ubi_volumes_rename(info.get(), 2, swap)));
    print_volumes(info.get());

    step("rename a volume that is gone");
    const UbiRename stale[] = {{"elsewhere", &gone}};
    emit_line(1, "rename: ",
              std::to_string(ubi_volumes_rename(info.get(), 1, stale)));
    step("two renamed to one name");
    UbiVolume* rootfs_now = ubi_volume_find(info.get(), "rootfs");
    UbiVolume* kernel_now = ubi_volume_find(info.get(), "kernel");
    if (rootfs_now == nullptr || kernel_now == nullptr) return 1;
    const UbiRename twice[] = {{"same", rootfs_now}, {"same", kernel_now}};
    emit_line(1, "rename: ",
              std::to_string(ubi_volumes_rename(info.get(), 2, twice)));
    emit_line(1, "remove: ",
              std::to_string(ubi_volume_remove(info.get(), rootfs_now)), " ",
              std::to_string(ubi_volume_remove(info.get(), kernel_now)));
    print_volumes(info.get());
  }

  step("detach");
  emit_line(1, "detach: ", std::to_string(ubi_detach(info.get())));
  info.reset();

  step("erase");
  {
    auto list = mtd_partitions_load();
    if (!list) return 1;
    MtdPartition* nand =
        mtd_partition_find(list.get(), device_board().ubi_partition);
    // Erasing works on the character device, which the caller provides.
    if (nand == nullptr || mtd_char_device(nand) == nullptr) return 1;
    emit_line(1, "erase: ", std::to_string(mtd_erase(nand)));
  }

  step("attach the erased partition");
  info = attach();
  if (!info) return 1;
  emit_line(1, "detach: ", std::to_string(ubi_detach(info.get())));

  step("foreign data on the partition");
  {
    auto list = mtd_partitions_load();
    MtdPartition* nand =
        list ? mtd_partition_find(list.get(), device_board().ubi_partition)
             : nullptr;
    const char* node = nand ? mtd_char_device(nand) : nullptr;
    if (node == nullptr) return 1;
    // A page of data at the start of each of the first blocks.
    unique_fd out(os::open(node, O_WRONLY));
    unsigned char page[2048];
    for (int block = 0; block < 3; ++block) {
      Pattern bytes{sizeof page, static_cast<uint32_t>(block + 1)};
      Pattern::read(&bytes, page, sizeof page);
      off_t at = os::lseek(out.get(), block * 131072, SEEK_SET);
      ssize_t n = at < 0 ? -1 : os::write(out.get(), page, sizeof page);
      emit_line(1, "write block ", std::to_string(block), ": ",
                n < 0 ? errno_text() : std::to_string(n));
    }
    out.reset();
    emit_line(1, "attach: ", attach() ? "attached" : "refused");
    emit_line(1, "erase: ", std::to_string(mtd_erase(nand)));
    info = attach();
    if (!info) return 1;
    emit_line(1, "detach: ", std::to_string(ubi_detach(info.get())));
  }

  step("done");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return check(argc > 1 ? argv[1] : "/flash-check/rootfs.squashfs");
}
