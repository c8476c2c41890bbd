#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/mtd-user.h>

#include <cerrno>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/progress.h"
#include "common/unique_fd.h"
#include "flash/mtd.h"

int mtd_geometry(const MtdPartition* partition, uint64_t* size,
                 uint32_t* erasesize, uint32_t* writesize) {
  const std::string& device = partition->device;
  unique_fd fd(os::open(device.c_str(), O_RDONLY));
  if (!fd.ok()) {
    emit_line(2, "Failed to open device (", device, "): ", errno_text());
    return -1;
  }
  mtd_info_user info{};
  if (os::ioctl(fd.get(), MEMGETINFO, &info) != 0) {
    emit_line(2, "ioctl(MEMGETINFO) failed (on ", device, "): ", errno_text());
    return -1;
  }
  *size = info.size;
  *erasesize = info.erasesize;
  *writesize = info.writesize;
  return 0;
}

int mtd_erase(const MtdPartition* partition) {
  const std::string& device = partition->device;
  unique_fd fd(os::open(device.c_str(), O_RDWR));
  if (!fd.ok()) {
    emit_line(2, "Failed to open device (", device, "): ", errno_text());
    return -1;
  }
  mtd_info_user info{};
  if (os::ioctl(fd.get(), MEMGETINFO, &info) != 0) {
    emit_line(2, "ioctl(MEMGETINFO) failed (on ", device, "): ", errno_text());
    return -1;
  }
  std::string heading = "Erasing MTD device (" + device + "): ";
  (void)!os::write(1, heading.data(), heading.size());

  uint32_t progress = 0;
  // A zero erase size would never advance: nothing can be erased.
  for (uint64_t start = 0; info.erasesize != 0 && start < info.size;
       start += info.erasesize) {
    auto offset = static_cast<long long>(start);
    int bad = os::ioctl(fd.get(), MEMGETBADBLOCK, &offset);
    if (bad > 0) continue;
    if (bad < 0) {
      if (errno == EOPNOTSUPP) {
        emit_line(2, "Bad block check not available !!!");
      } else {
        emit_line(2, "ioctl(MEMGETBADBLOCK) error: ", errno_text());
      }
    }
    progress = show_progress(static_cast<uint32_t>(info.size - start),
                             info.size, progress);
    erase_info_user erase{static_cast<uint32_t>(start), info.erasesize};
    if (os::ioctl(fd.get(), MEMERASE, &erase) != 0) {
      emit_line(2, "ioctl(MEMERASE) failed (on ", device, "): ", errno_text());
      return -1;
    }
  }
  (void)!os::write(1, "\n", 1);
  return 0;
}
