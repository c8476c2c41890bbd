#include "package/install.h"

#include "common/emit_line.h"
#include "flash/mtd.h"
#include "package/validate.h"

namespace {

constexpr char ubi_partition[] = "nand0.ubi";
const char* const known_volumes[] = {"kernel", "rootfs", "rootfs_old",
                                     "kernel_old", "kernel_new"};

// The UBI device, erasing the partition and attaching afresh when it
// cannot be had as it is.
UbiInfoPtr load_or_clear_ubi() {
  if (UbiInfoPtr info = ubi_info_for_mtd(ubi_partition)) return info;
  emit_line(1, "Clearing MTD device");
  std::unique_ptr<MtdPartitionList> list = mtd_partitions_load();
  MtdPartition* partition = mtd_partition_find(list.get(), ubi_partition);
  UbiInfoPtr info;
  if (partition != nullptr && mtd_char_device(partition) != nullptr &&
      mtd_erase(partition) == 0) {
    info = ubi_info_for_mtd(ubi_partition);
  }
  if (!info) emit_line(2, "Failed to load ubi information");
  return info;
}

}  // namespace

ssize_t bpk_volume_reader(void* package, void* buffer, size_t count) {
  return static_cast<ssize_t>(
      bpk_read(static_cast<PackageFile*>(package), buffer, count));
}

void remove_known_volumes(UbiInfo* info) {
  for (const char* name : known_volumes) {
    if (UbiVolume* vol = ubi_volume_find(info, name)) {
      ubi_volume_remove(info, vol);
    }
  }
}

int install_entry(PackageFile* package, uint32_t type, const char* name,
                  UbiInfo* info) {
  uint64_t size = 0;
  uint32_t crc = 0;
  if (bpk_find(package, type, 0, &size, &crc) != 0) {
    emit_line(2, "Failed to find bpk partition");
    return -1;
  }
  if (UbiVolume* old = ubi_volume_find(info, name)) {
    emit_line(1, "Removing old volume ", name);
    if (ubi_volume_remove(info, old) != 0) {
      emit_line(2, "Failed to remove volume ", name);
      return -1;
    }
  }
  auto bytes = static_cast<uint32_t>(size);
  UbiVolume* vol = ubi_volume_create(info, name, bytes, 0);
  if (vol == nullptr) {
    emit_line(2, "Failed to create volume ", name);
    return -1;
  }
  if (ubi_volume_flash(vol, bpk_volume_reader, package, bytes) != 0) {
    emit_line(2, "Failed to flash firmware");
    ubi_volume_remove(info, vol);
    return -1;
  }
  // The register of the volume's content is the complement of its CRC-32.
  uint32_t reg = 0;
  if (file_crc32(vol->device.c_str(), &reg) != 0 || reg != ~crc) {
    emit_line(2, "Failed to flash firmware, CRC mismatch on ", name);
    ubi_volume_remove(info, vol);
    return -1;
  }
  return 0;
}

int install_package(const char* path) {
  PackagePtr package = bpk_open(path, false);
  if (!package) {
    emit_line(2, "Failed to open bpk file: ", path);
    return -1;
  }
  if (validate_package(package.get()) != 0) return -1;

  UbiInfoPtr info = load_or_clear_ubi();
  if (!info) return -1;
  remove_known_volumes(info.get());
  int result = -1;
  if (install_entry(package.get(), bpk_type_rootfs, "rootfs", info.get()) ==
      0) {
    result = 0;
    if (install_entry(package.get(), bpk_type_kernel, "kernel", info.get()) !=
        0) {
      remove_known_volumes(info.get());
      result = -1;
    }
  }
  if (ubi_detach(info.get()) != 0) emit_line(2, "Failed to detach UBI device");
  return result;
}
