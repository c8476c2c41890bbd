#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/ubi-user.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <new>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/progress.h"
#include "common/unique_fd.h"
#include "flash/ubi.h"

namespace {

// The MTD partition through which the kernel also offers the volume.
int open_fallback(const UbiVolume* vol) {
  std::unique_ptr<MtdPartitionList> list = mtd_partitions_load();
  MtdPartition* partition = ubi_volume_mtd(vol, list.get());
  const char* node = mtd_char_device(partition);
  return node != nullptr ? os::open(node, O_RDWR) : -1;
}

// Where the image's bytes come from.
struct Source {
  volume_reader reader;
  void* context;
  int fd;  // used when reader is null
  ssize_t read(void* buffer, size_t count) const {
    return reader != nullptr ? reader(context, buffer, count)
                             : os::read(fd, buffer, count);
  }
};

int flash(UbiVolume* vol, const Source& source, uint32_t size,
          const char* label) {
  unique_fd out(ubi_volume_open_update(vol, size));
  if (!out.ok()) return -1;
  if (vol->usable_eb_size <= 0) return -1;  // no chunk to write with
  auto chunk_size = static_cast<uint32_t>(vol->usable_eb_size);
  std::unique_ptr<unsigned char[]> buffer(
      new (std::nothrow) unsigned char[chunk_size]);
  if (!buffer) return -1;

  std::string heading = "Flashing \"" +
                        (label != nullptr ? label : vol->name.value_or("")) +
                        "\" ";
  (void)!os::write(1, heading.data(), heading.size());
  uint32_t remaining = size;
  uint32_t progress = 0;
  while (remaining != 0) {
    uint32_t n = remaining < chunk_size ? remaining : chunk_size;
    ssize_t got = source.read(buffer.get(), n);
    if (got <= 0) break;
    // A reader that claims more than it was asked for is held to n.
    if (static_cast<size_t>(got) > n) got = n;
    ssize_t put = os::write(out.get(), buffer.get(), static_cast<size_t>(got));
    if (put > 0) {
      remaining -= static_cast<uint32_t>(put);
      note_progress(static_cast<size_t>(put));
    }
    if (put != got) break;
    progress = show_progress(remaining, size, progress);
  }
  (void)!os::write(1, "\n", 1);
  buffer.reset();
  out.reset();
  if (ubi_volume_refresh(vol) != 0) return -1;
  // Through the MTD fallback no volume update tells an unfinished image: the
  // bytes left over do.
  return remaining == 0 && vol->status == 0 ? 0 : -1;
}

}  // namespace

int ubi_volume_open_update(UbiVolume* vol, uint32_t size) {
  const char* node = ubi_volume_device(vol);
  if (node == nullptr) {
    emit_line(2, "Failed to get device");
    return -1;
  }
  unique_fd fd(os::open(node, O_RDWR));
  if (fd.ok()) {
    int64_t bytes = size;
    if (os::ioctl(fd.get(), UBI_IOCVOLUP, &bytes) != 0) {
      emit_line(2, "Failed to write volume (ioctl): ", errno_text());
      return -1;
    }
    return fd.release();
  }
  int error = errno;  // what decides on the fallback
  emit_line(2, "Failed to open device: ", errno_text());
  if (error != EBUSY) {
    errno = error;
    emit_line(2, "Failed to open volume", errno_text());
    return -1;
  }
  int fallback = open_fallback(vol);
  if (fallback < 0) {
    emit_line(2, "Failed to open fallback mtd device", errno_text());
    return -1;
  }
  emit_line(1, "Ubi volume busy, falling back on mtd device");
  return fallback;
}

int ubi_volume_flash(UbiVolume* vol, volume_reader reader, void* context,
                     uint32_t size, const char* label) {
  if (vol == nullptr || reader == nullptr) return -1;
  return flash(vol, Source{reader, context, -1}, size, label);
}

int ubi_volume_flash_fd(UbiVolume* vol, int fd, uint32_t size) {
  if (vol == nullptr) return -1;
  if (size == 0) {
    struct stat st;
    if (os::fstat(fd, &st) != 0 || st.st_size == 0) {
      emit_line(2, "Failed to fstat or size is zero");
      return -1;
    }
    // A volume update takes a 32-bit size: a larger file is not cut short.
    if (static_cast<uint64_t>(st.st_size) > 0xFFFFFFFFu) {
      emit_line(2, "File too large for a volume: 4 GiB or more");
      return -1;
    }
    size = static_cast<uint32_t>(st.st_size);
  }
  return flash(vol, Source{nullptr, nullptr, fd}, size, nullptr);
}
