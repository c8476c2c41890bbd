#include "package/install.h"

#include <cerrno>

#include "boards/board.h"
#include "common/emit_line.h"
#include "common/firmware_layout.h"
#include "common/sysfs.h"
#include "flash/mtd.h"
#include "package/compatible.h"

namespace {

// Before an erase: whether the images could ever fit the partition once
// UBI is on it. Generous on purpose (no block kept for bad ones, the
// largest data area a block can have: all but the page of UBI's headers),
// so it refuses only what cannot fit; the measure after the attach is the
// exact one.
bool could_fit_partition(const MtdPartition* partition,
                         const ValidatedPackage& images) {
  uint64_t size = 0;
  uint32_t erasesize = 0, writesize = 0;
  if (mtd_geometry(partition, &size, &erasesize, &writesize) != 0) return false;
  if (erasesize <= writesize) {
    emit_line(2, "Failed to read the size of ", partition->device);
    return false;
  }
  uint64_t leb_size = erasesize - writesize;
  uint64_t needed = 0;
  for (const PackageImage* image : {&images.rootfs, &images.kernel}) {
    needed += (image->size + leb_size - 1) / leb_size;
  }
  // UBI keeps two blocks for its volume table, one for wear levelling and
  // one for atomic changes.
  uint64_t blocks = size / erasesize;
  uint64_t available = blocks > 4 ? blocks - 4 : 0;
  if (needed <= available) return true;
  emit_line(2, "Firmware does not fit: ", std::to_string(needed),
            " erase blocks needed, ", std::to_string(available), " available");
  return false;
}

// The UBI device, erasing the partition and attaching afresh when UBI
// refuses what it holds (cleared then tells so), once the images could fit
// it. Any other failure (the kernel short of memory, the control node
// refused, no partition) erases nothing: a passing error must not cost the
// firmware.
UbiInfoPtr load_or_clear_ubi(const ValidatedPackage& images, bool* cleared) {
  *cleared = false;
  int attach_error = 0;
  if (UbiInfoPtr info =
          ubi_info_for_mtd(device_board().ubi_partition, &attach_error)) {
    return info;
  }
  if (attach_error != EINVAL) {
    emit_line(2, "Failed to load ubi information");
    return nullptr;
  }
  std::unique_ptr<MtdPartitionList> list = mtd_partitions_load();
  MtdPartition* partition =
      mtd_partition_find(list.get(), device_board().ubi_partition);
  if (partition == nullptr || mtd_char_device(partition) == nullptr) {
    emit_line(2, "Failed to load ubi information");
    return nullptr;
  }
  if (!could_fit_partition(partition, images)) return nullptr;
  *cleared = true;
  emit_line(1, "Clearing MTD device");
  UbiInfoPtr info;
  if (mtd_erase(partition) == 0)
    info = ubi_info_for_mtd(device_board().ubi_partition);
  if (!info) emit_line(2, "Failed to load ubi information");
  return info;
}

}  // namespace

ssize_t bpk_volume_reader(void* package, void* buffer, size_t count) {
  return static_cast<ssize_t>(
      bpk_read(static_cast<PackageFile*>(package), buffer, count));
}

// The default: no trusted keys. A program built with them links its own.
[[gnu::weak]] const SignatureHooks* trusted_signatures() { return nullptr; }

namespace {

// The package's entry as it streams into a volume, with its digest taken
// on the way.
struct DigestedStream {
  PackageFile* package;
  const SignatureHooks* hooks;
  DigestState state;
};

ssize_t digested_reader(void* context, void* buffer, size_t count) {
  auto* stream = static_cast<DigestedStream*>(context);
  ssize_t got = bpk_volume_reader(stream->package, buffer, count);
  if (got > 0) stream->hooks->digest_feed(&stream->state, buffer, got);
  return got;
}

}  // namespace

namespace {

template <size_t N>
void remove_volumes(UbiInfo* info, const char* const (&names)[N]) {
  for (const char* name : names) {
    if (UbiVolume* vol = ubi_volume_find(info, name)) {
      ubi_volume_remove(info, vol);
    }
  }
}

}  // namespace

void remove_known_volumes(UbiInfo* info) {
  remove_volumes(info, known_volumes);
}

void remove_leftover_volumes(UbiInfo* info) {
  remove_volumes(info, leftover_volumes);
}

int install_image(PackageFile* package, const PackageImage& image,
                  const char* name, UbiInfo* info,
                  const SignatureHooks* signatures, const char* label) {
  if (label == nullptr) label = name;
  if (bpk_find(package, image.type, 0, nullptr, nullptr) != 0) {
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
  auto bytes = static_cast<uint32_t>(image.size);
  UbiVolume* vol = ubi_volume_create(info, name, bytes, 0, label);
  if (vol == nullptr) {
    emit_line(2, "Failed to create volume ", label);
    return -1;
  }
  DigestedStream stream{package, signatures, {}};
  if (signatures != nullptr) signatures->digest_start(&stream.state);
  if (ubi_volume_flash(
          vol, signatures != nullptr ? digested_reader : bpk_volume_reader,
          signatures != nullptr ? static_cast<void*>(&stream) : package, bytes,
          label) != 0) {
    emit_line(2, "Failed to flash firmware");
    ubi_volume_remove(info, vol);
    return -1;
  }
  if (signatures != nullptr) {
    // The medium served other bytes than it did for validation: what is in
    // the volume was never verified, and must not stay there.
    Digest streamed;
    signatures->digest_finish(&stream.state, &streamed);
    if (streamed != image.digest) {
      emit_line(2, "Failed to flash firmware, signature mismatch on ", label);
      ubi_volume_remove(info, vol);
      return -1;
    }
  }
  // The register of the volume's content is the complement of its CRC-32.
  uint32_t reg = 0;
  if (file_crc32(vol->device.c_str(), &reg) != 0 || reg != ~image.crc) {
    emit_line(2, "Failed to flash firmware, CRC mismatch on ", label);
    ubi_volume_remove(info, vol);
    return -1;
  }
  return 0;
}

int install_entry(PackageFile* package, uint32_t type, const char* name,
                  UbiInfo* info) {
  PackageImage image{type, 0, 0};
  if (bpk_find(package, type, 0, &image.size, &image.crc) != 0) {
    emit_line(2, "Failed to find bpk partition");
    return -1;
  }
  return install_image(package, image, name, info);
}

namespace {

// The device's erase block size and the blocks it has free, and the blocks
// the images need: false (reported) when sysfs cannot tell.
struct Room {
  int64_t available = 0;
  uint64_t needed = 0;
};
bool measure_room(UbiInfo* info, const ValidatedPackage& images, Room* room) {
  // The device's directory: /dev/ubi0 is /sys/class/ubi/ubi0.
  std::string sysfs = "/sys/class/ubi/" + info->device.substr(5);
  int64_t leb_size = 0;
  if (sysfs_read_int64(sysfs, "eraseblock_size", &leb_size) != 0 ||
      sysfs_read_int64(sysfs, "avail_eraseblocks", &room->available) != 0 ||
      leb_size <= 0) {
    emit_line(2, "Failed to read the size of ", info->device);
    return false;
  }
  room->needed = 0;
  for (const PackageImage* image : {&images.rootfs, &images.kernel}) {
    room->needed += (image->size + static_cast<uint64_t>(leb_size) - 1) /
                    static_cast<uint64_t>(leb_size);
  }
  return true;
}

bool fits(const Room& room) {
  return room.available >= 0 &&
         room.needed <= static_cast<uint64_t>(room.available);
}

}  // namespace

int check_images_fit_beside(UbiInfo* info, const ValidatedPackage& images) {
  Room room;
  return measure_room(info, images, &room) && fits(room) ? 0 : -1;
}

int check_images_fit(UbiInfo* info, const ValidatedPackage& images) {
  Room room;
  if (!measure_room(info, images, &room)) return -1;
  for (const char* name : known_volumes) {
    UbiVolume* vol = ubi_volume_find(info, name);
    int64_t reserved = 0;
    if (vol == nullptr) continue;
    if (sysfs_read_int64(vol->sysfs, "reserved_ebs", &reserved) != 0) {
      emit_line(2, "Failed to read the size of ", vol->device);
      return -1;
    }
    room.available += reserved;
  }
  if (fits(room)) return 0;
  emit_line(2, "Firmware does not fit: ", std::to_string(room.needed),
            " erase blocks needed, ", std::to_string(room.available),
            " available");
  return -1;
}

namespace {

// The new firmware beside the installed one: both images under temporary
// names, each read back, then renamed into place in one request, in which
// UBI removes the old "rootfs" and "kernel". A power cut leaves either the
// old names or the new; any failure before the rename removes the
// temporary volumes and leaves the installed firmware as it was.
int install_beside(PackageFile* package, const ValidatedPackage& images,
                   UbiInfo* info, const SignatureHooks* signatures) {
  if (install_image(package, images.rootfs, rootfs_volume_new, info, signatures,
                    rootfs_volume) != 0) {
    return -1;
  }
  if (install_image(package, images.kernel, kernel_volume_new, info, signatures,
                    kernel_volume) != 0) {
    remove_leftover_volumes(info);
    return -1;
  }
  UbiVolume* rootfs = ubi_volume_find(info, rootfs_volume_new);
  UbiVolume* kernel = ubi_volume_find(info, kernel_volume_new);
  if (rootfs == nullptr || kernel == nullptr) {
    remove_leftover_volumes(info);
    return -1;
  }
  const UbiRename renames[] = {{rootfs_volume, rootfs},
                               {kernel_volume, kernel}};
  if (ubi_volumes_rename(info, 2, renames) != 0) {
    remove_leftover_volumes(info);
    return -1;
  }
  return 0;
}

// The old firmware removed first, then the new one written in its place.
int install_in_place(PackageFile* package, const ValidatedPackage& images,
                     UbiInfo* info, const SignatureHooks* signatures) {
  remove_known_volumes(info);
  if (install_image(package, images.rootfs, rootfs_volume, info, signatures) !=
      0) {
    return -1;
  }
  if (install_image(package, images.kernel, kernel_volume, info, signatures) !=
      0) {
    remove_known_volumes(info);
    return -1;
  }
  return 0;
}

}  // namespace

bool package_is_installed(const char* path) {
  PackagePtr package = bpk_open(path, false);
  if (!package || bpk_verify(package.get()) != 0) return false;
  UbiInfoPtr info = ubi_info_for_mtd(device_board().ubi_partition);
  if (!info) return false;
  for (auto [type, name] : {std::pair{bpk_type_kernel, kernel_volume},
                            std::pair{bpk_type_rootfs, rootfs_volume}}) {
    uint64_t size = 0;
    uint32_t crc = 0, reg = 0;
    UbiVolume* vol = ubi_volume_find(info.get(), name);
    if (bpk_find(package.get(), type, 0, &size, &crc) != 0 || vol == nullptr ||
        ubi_volume_check(vol) != 0 ||
        static_cast<uint64_t>(vol->data_bytes) != size) {
      return false;
    }
    const char* node = ubi_volume_device(vol);
    if (node == nullptr || file_crc32(node, &reg) != 0 || reg != ~crc) {
      return false;
    }
  }
  return true;
}

int install_package(const char* path) {
  PackagePtr package = bpk_open(path, false);
  if (!package) {
    emit_line(2, "Failed to open bpk file: ", path);
    return -1;
  }
  ValidatedPackage images;
  const SignatureHooks* signatures = trusted_signatures();
  if (validate_package(package.get(), &images, signatures,
                       device_compatible()) != 0) {
    return -1;
  }

  bool cleared = false;
  UbiInfoPtr info = load_or_clear_ubi(images, &cleared);
  if (!info) return -1;
  int result = -1;
  // What a cut installation left goes before the room is measured.
  remove_leftover_volumes(info.get());
  bool installed = ubi_volume_find(info.get(), kernel_volume) != nullptr ||
                   ubi_volume_find(info.get(), rootfs_volume) != nullptr;
  if (installed && check_images_fit_beside(info.get(), images) == 0) {
    result = install_beside(package.get(), images, info.get(), signatures);
  } else if (cleared || check_images_fit(info.get(), images) == 0) {
    // A freshly erased device holds nothing to keep: whatever does not fit
    // there fails at the volume's creation.
    result = install_in_place(package.get(), images, info.get(), signatures);
  }
  if (ubi_detach(info.get()) != 0) emit_line(2, "Failed to detach UBI device");
  return result;
}
