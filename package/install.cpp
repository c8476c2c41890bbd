#include "package/install.h"

#include "common/emit_line.h"
#include "common/firmware_layout.h"
#include "common/sysfs.h"
#include "flash/mtd.h"

namespace {

// The UBI device, erasing the partition and attaching afresh when it
// cannot be had as it is (cleared then tells so).
UbiInfoPtr load_or_clear_ubi(bool* cleared) {
  *cleared = false;
  if (UbiInfoPtr info = ubi_info_for_mtd(ubi_partition)) return info;
  *cleared = true;
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

void remove_known_volumes(UbiInfo* info) {
  for (const char* name : known_volumes) {
    if (UbiVolume* vol = ubi_volume_find(info, name)) {
      ubi_volume_remove(info, vol);
    }
  }
}

int install_image(PackageFile* package, const PackageImage& image,
                  const char* name, UbiInfo* info,
                  const SignatureHooks* signatures) {
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
  UbiVolume* vol = ubi_volume_create(info, name, bytes, 0);
  if (vol == nullptr) {
    emit_line(2, "Failed to create volume ", name);
    return -1;
  }
  DigestedStream stream{package, signatures, {}};
  if (signatures != nullptr) signatures->digest_start(&stream.state);
  if (ubi_volume_flash(
          vol, signatures != nullptr ? digested_reader : bpk_volume_reader,
          signatures != nullptr ? static_cast<void*>(&stream) : package,
          bytes) != 0) {
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
      emit_line(2, "Failed to flash firmware, signature mismatch on ", name);
      ubi_volume_remove(info, vol);
      return -1;
    }
  }
  // The register of the volume's content is the complement of its CRC-32.
  uint32_t reg = 0;
  if (file_crc32(vol->device.c_str(), &reg) != 0 || reg != ~image.crc) {
    emit_line(2, "Failed to flash firmware, CRC mismatch on ", name);
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

int check_images_fit(UbiInfo* info, const ValidatedPackage& images) {
  // The device's directory: /dev/ubi0 is /sys/class/ubi/ubi0.
  std::string sysfs = "/sys/class/ubi/" + info->device.substr(5);
  int64_t leb_size = 0, available = 0;
  if (sysfs_read_int64(sysfs, "eraseblock_size", &leb_size) != 0 ||
      sysfs_read_int64(sysfs, "avail_eraseblocks", &available) != 0 ||
      leb_size <= 0) {
    emit_line(2, "Failed to read the size of ", info->device);
    return -1;
  }
  for (const char* name : known_volumes) {
    UbiVolume* vol = ubi_volume_find(info, name);
    int64_t reserved = 0;
    if (vol == nullptr) continue;
    if (sysfs_read_int64(vol->sysfs, "reserved_ebs", &reserved) != 0) {
      emit_line(2, "Failed to read the size of ", vol->device);
      return -1;
    }
    available += reserved;
  }
  uint64_t needed = 0;
  for (const PackageImage* image : {&images.rootfs, &images.kernel}) {
    needed += (image->size + static_cast<uint64_t>(leb_size) - 1) /
              static_cast<uint64_t>(leb_size);
  }
  if (available >= 0 && needed <= static_cast<uint64_t>(available)) return 0;
  emit_line(2, "Firmware does not fit: ", std::to_string(needed),
            " erase blocks needed, ", std::to_string(available), " available");
  return -1;
}

int install_package(const char* path) {
  PackagePtr package = bpk_open(path, false);
  if (!package) {
    emit_line(2, "Failed to open bpk file: ", path);
    return -1;
  }
  ValidatedPackage images;
  const SignatureHooks* signatures = trusted_signatures();
  if (validate_package(package.get(), &images, signatures) != 0) return -1;

  bool cleared = false;
  UbiInfoPtr info = load_or_clear_ubi(&cleared);
  if (!info) return -1;
  int result = -1;
  // A freshly erased device holds nothing to keep: whatever does not fit
  // there fails at the volume's creation.
  if (cleared || check_images_fit(info.get(), images) == 0) {
    remove_known_volumes(info.get());
    if (install_image(package.get(), images.rootfs, rootfs_volume, info.get(),
                      signatures) == 0) {
      result = 0;
      if (install_image(package.get(), images.kernel, kernel_volume, info.get(),
                        signatures) != 0) {
        remove_known_volumes(info.get());
        result = -1;
      }
    }
  }
  if (ubi_detach(info.get()) != 0) emit_line(2, "Failed to detach UBI device");
  return result;
}
