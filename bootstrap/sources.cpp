#include "bootstrap/sources.h"

#include <sys/stat.h>
#include <unistd.h>

#include "bootstrap/mounts.h"
#include "common/emit_line.h"
#include "common/file_ops.h"
#include "common/os.h"
#include "package/install.h"

namespace {
constexpr char backup_package[] = "/mnt/mmc/backup.bpk2";
constexpr char usb_package[] = "/mnt/usb/update.bpk2";
constexpr char card_package[] = "/mnt/mmc/update.bpk2";
}  // namespace

int rescue_firmware() {
  emit_line(1, "Starting system recovery procedure");
  if (mount_medium(MEDIUM_MMC, "/mnt/mmc", 3000, 0) != 0) {
    emit_line(2, "Failed to mount MMC");
  }
  int result;
  if (os::access(backup_package, R_OK) != 0) {
    emit_line(2, "Failed to find rescue FW");
    result = -1;
  } else {
    emit_line(1, "Rescue firmware found");
    result = install_package(backup_package);
  }
  umount_medium(MEDIUM_MMC, "/mnt/mmc");
  return result;
}

namespace {

// The stick's package, if it is a file that can be copied: anything else (a
// directory, a FIFO, a device node) is as good as missing.
bool usb_package_found() {
  struct stat st;
  return os::access(usb_package, R_OK) == 0 &&
         os::stat(usb_package, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int update_from_usb() {
  // A card without a file system is formatted only once the stick is
  // mounted: a request without a stick never wipes the card, nor the
  // backup on it.
  int card = mount_medium(MEDIUM_MMC, "/mnt/mmc", 3000, MOUNT_RW);
  bool blank_card = card == -3 && no_filesystem(errno);
  if (card != 0 && !blank_card) {
    emit_line(2, "Failed to mount MMC rw");
    return -1;
  }
  int result = -1;
  if (mount_medium(MEDIUM_USB, "/mnt/usb", 30000, 0) != 0) {
    emit_line(2, "Failed to mount USB device");
  } else {
    if (blank_card && format_card("/mnt/mmc", 3000, MOUNT_RW) != 0) {
      emit_line(2, "Failed to mount MMC rw");
    } else if (!usb_package_found()) {
      emit_line(2, "File not found: ", usb_package);
    } else if (copy_file(usb_package, card_package) != 0) {
      emit_line(2, "Failed to move firmware on MMC");
    } else {
      result = install_package(card_package) == 0 ? 0 : -1;
    }
    umount_medium(MEDIUM_USB, "/mnt/usb");
  }
  umount_medium(MEDIUM_MMC, "/mnt/mmc");
  return result;
}
