#include "bootstrap/sources.h"

#include <sys/stat.h>
#include <unistd.h>

#include "bootstrap/mounts.h"
#include "common/emit_line.h"
#include "common/file_ops.h"
#include "common/firmware_layout.h"
#include "common/os.h"
#include "package/install.h"

int rescue_firmware(bool unless_installed) {
  emit_line(1, "Starting system recovery procedure");
  if (mount_medium(MEDIUM_MMC, mmc_mount_point, mmc_wait_ms, 0) != 0) {
    emit_line(2, "Failed to mount MMC");
  }
  int result;
  if (os::access(card_backup_package, R_OK) != 0) {
    emit_line(2, "Failed to find rescue FW");
    result = -1;
  } else {
    emit_line(1, "Rescue firmware found");
    if (unless_installed && package_is_installed(card_backup_package)) {
      emit_line(2, "Rescue firmware is the installed firmware");
      result = -2;
    } else {
      result = install_package(card_backup_package);
    }
  }
  umount_medium(MEDIUM_MMC, mmc_mount_point);
  return result;
}

namespace {

// The stick's package, if it is a file that can be copied: anything else (a
// directory, a FIFO, a device node) is as good as missing.
bool usb_update_package_found() {
  struct stat st;
  return os::access(usb_update_package, R_OK) == 0 &&
         os::stat(usb_update_package, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

int update_from_usb() {
  // A card without a file system is formatted only once the stick is
  // mounted: a request without a stick never wipes the card, nor the
  // backup on it.
  int card = mount_medium(MEDIUM_MMC, mmc_mount_point, mmc_wait_ms, MOUNT_RW);
  bool blank_card = card == -3 && card_is_blank(errno);
  if (card != 0 && !blank_card) {
    emit_line(2, "Failed to mount MMC rw");
    return -1;
  }
  int result = -1;
  if (mount_medium(MEDIUM_USB, usb_mount_point, usb_wait_ms, 0) != 0) {
    emit_line(2, "Failed to mount USB device");
  } else {
    // A card is formatted only for a package that is there to copy.
    if (!usb_update_package_found()) {
      emit_line(2, "File not found: ", usb_update_package);
    } else if (blank_card &&
               format_card(mmc_mount_point, mmc_wait_ms, MOUNT_RW) != 0) {
      emit_line(2, "Failed to mount MMC rw");
    } else if (copy_file(usb_update_package, card_update_package) != 0) {
      emit_line(2, "Failed to move firmware on MMC");
    } else {
      result = install_package(card_update_package) == 0 ? 0 : -1;
    }
    umount_medium(MEDIUM_USB, usb_mount_point);
  }
  umount_medium(MEDIUM_MMC, mmc_mount_point);
  return result;
}
