#include "bootstrap/boot_sequence.h"

#include <fcntl.h>
#include <linux/reboot.h>
#include <sys/reboot.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bootstrap/bootflag.h"
#include "bootstrap/leds.h"
#include "bootstrap/modules.h"
#include "bootstrap/mounts.h"
#include "bootstrap/sources.h"
#include "bootstrap/watchdog_link.h"
#include "common/emit_line.h"
#include "common/firmware_layout.h"
#include "common/os.h"
#include "common/unique_fd.h"
#include "flash/mtd.h"
#include "flash/ubi.h"
#include "package/install.h"

namespace {

constexpr char version[] = "1.0.0";

void sleep_seconds(time_t seconds) {
  timespec t{seconds, 0};
  while (os::nanosleep(&t, &t) != 0 && errno == EINTR) {
  }
}

BootMode choose_mode(int* argc, char** argv, uint16_t request) {
  // The first row that holds wins; a row's word test runs only when the
  // rows above it failed.
  if (take_boot_word(argc, argv, "update") > 0 || request == BOOTFLAG_UPDATE) {
    return BootMode::update;
  }
  if (take_boot_word(argc, argv, "rescue") > 0 || request == BOOTFLAG_RESCUE) {
    return BootMode::rescue;
  }
  if (take_boot_word(argc, argv, "usb") > 0 || request == BOOTFLAG_USB) {
    return BootMode::usb;
  }
  return BootMode::normal;
}

void update_mode() {
  emit_line(1, "Update flag found");
  led_off("err_red");
  led_timer("pwr_green", 20, 20);
  watchdog_reset(300);
  if (mount_medium(MEDIUM_MMC, mmc_mount_point, mmc_wait_ms, 0) != 0) {
    emit_line(1, "Failed to initialize MMC");
    return;
  }
  if (install_package(card_update_package) == 0 ||
      install_package(card_update_package_fallback) == 0) {
    bootflag_write(BOOTFLAG_NONE, 0);
    emit_line(1, "Firmware updated");
  } else {
    emit_line(1, "Update failed");
  }
}

void rescue_leds() {
  led_off("pwr_green");
  led_timer("err_red", 20, 20);
}

void rescue_mode() {
  rescue_leds();
  watchdog_reset(300);
  if (rescue_firmware() == 0) {
    bootflag_write(BOOTFLAG_NONE, 0);
    emit_line(1, "Firmware rescued");
  }
}

void usb_mode() {
  rescue_leds();
  watchdog_reset(300);
  if (update_from_usb() == 0) {
    bootflag_write(BOOTFLAG_USB_DONE, 0);
    emit_line(1, "Firmware updated from USB");
  }
}

// The card's backup in place of firmware that cannot come up. A backup
// that is the installed firmware already is not installed again (it is
// what failed): the device restarts with the flash as it is and the
// register unchanged, until a person or a new request acts.
void fallback_rescue() {
  rescue_leds();
  watchdog_reset(300);
  if (rescue_firmware(true) == -1) bootflag_write(BOOTFLAG_RESCUE, 1);
}

// The volume checks; the first failure's line, or null when both are sound.
const char* volume_problem(UbiVolume* kernel, UbiVolume* rootfs) {
  if (kernel == nullptr) return "No \"kernel\" volume available";
  if (rootfs == nullptr) return "No \"rootfs\" volume available";
  if (ubi_volume_check(kernel) != 0) return "Corrupted \"kernel\" volume";
  if (ubi_volume_check(rootfs) != 0) return "Corrupted \"rootfs\" volume";
  return nullptr;
}

// The normal boot. Returns only when it did not hand over to switch_root:
// false when the caller is to end the boot (stop the daemon, restart), true
// when the restart was already asked for and the kernel refused it, which
// ends the program.
bool normal_boot(int argc, char** argv) {
  emit_line(1, "Checking rootfs/kernel volumes");
  watchdog_reset(120);
  int attach_error = 0;
  UbiInfoPtr info = ubi_info_for_mtd(ubi_partition, &attach_error);
  if (!info) {
    emit_line(1, "Failed to load ubi information");
    // A partition of data UBI cannot attach holds no firmware that could
    // ever boot: the card's backup takes over (the rescue erases it).
    if (attach_error == EINVAL) {
      fallback_rescue();
      return false;
    }
    restart_system();  // without stopping the daemon
    return true;
  }
  UbiVolume* kernel = ubi_volume_find(info.get(), kernel_volume);
  UbiVolume* rootfs = ubi_volume_find(info.get(), rootfs_volume);
  // The kernel checks a static volume's data against the CRCs stored with
  // them at its first open after the attach; until then "corrupted" tells
  // only of missing blocks. Each volume is opened before its state is read.
  for (UbiVolume* vol : {kernel, rootfs}) {
    const char* node = vol != nullptr ? ubi_volume_device(vol) : nullptr;
    if (node == nullptr) continue;
    unique_fd(os::open(node, O_RDONLY));
    ubi_volume_refresh(vol);
  }
  if (const char* problem = volume_problem(kernel, rootfs)) {
    emit_line(2, problem);
    fallback_rescue();
    return false;
  }
  emit_line(1, "Loading modules");
  if (load_modules() != 0) emit_line(2, "Failed to load modules");
  std::string init = find_init();
  argv[0] = init.data();
  umount_medium(MEDIUM_MMC, mmc_mount_point);
  emit_line(1, "Mounting root filesystem");
  std::unique_ptr<MtdPartitionList> partitions = mtd_partitions_load();
  if (!partitions) return false;

  // "/sbin/switch_root" "/root" init arguments...: the strings are shared.
  std::vector<char*> switch_argv;
  switch_argv.reserve(static_cast<size_t>(argc) + 3);
  switch_argv.push_back(const_cast<char*>("/sbin/switch_root"));
  switch_argv.push_back(const_cast<char*>(root_mount_point));
  for (int i = 0; i < argc; ++i) switch_argv.push_back(argv[i]);
  switch_argv.push_back(nullptr);

  // The volume's mtdblock device where the kernel offers one (gluebi and an
  // mtdblock that takes volumes), else its UBI block device.
  MtdPartition* partition = ubi_volume_mtd(rootfs, partitions.get());
  int mounted = has_block_device(partition)
                    ? mount_root(partition, root_mount_point)
                    : mount_root_volume(rootfs, root_mount_point);
  if (mounted != 0 && partition == nullptr) {
    emit_line(2, "Couldn't find mtd partition for volume ",
              rootfs->name.value_or(""));
  }
  if (mounted == 0) {
    watchdog_stop();
    char* const envp[] = {nullptr};
    os::execve("/sbin/switch_root", switch_argv.data(), envp);
    emit_line(2, "Failed to switch root");
    os::umount2(root_mount_point, 0);
  }
  // Root failure: after the pause its lines are seen in, the card's backup
  // takes over, as for a damaged volume; restarting into the same failure
  // would repeat it on every boot.
  sleep_seconds(5);
  partitions.reset();
  fallback_rescue();
  return false;
}

}  // namespace

int take_boot_word(int* count, char** argv, const char* word) {
  size_t length = std::strlen(word);
  int kept = 0;
  int removed = 0;
  for (int i = 0; i < *count; ++i) {
    if (std::strncmp(argv[i], word, length) == 0) {
      ++removed;
    } else {
      argv[kept++] = argv[i];
    }
  }
  *count = kept;
  return removed;
}

void restart_system() {
  os::sync();
  sleep_seconds(2);
  os::reboot(LINUX_REBOOT_CMD_RESTART);
}

int boot_main(int argc, char** argv) {
  emit_line(1, "Velnor bootstrap ", version);
  mount_medium(MEDIUM_SYSFS, nullptr, 0, 0);
  watchdog_start();
  watchdog_reset(10);
  led_off("err_red");
  led_timer("pwr_green", 50, 50);
  mount_medium(MEDIUM_PROC, nullptr, 0, 0);
  uint16_t request = BOOTFLAG_NONE;
  bootflag_read(&request, nullptr);

  switch (choose_mode(&argc, argv, request)) {
    case BootMode::update:
      update_mode();
      break;
    case BootMode::rescue:
      rescue_mode();
      break;
    case BootMode::usb:
      usb_mode();
      break;
    case BootMode::normal:
      if (normal_boot(argc, argv)) return 0;
      break;
  }
  watchdog_stop();
  restart_system();
  return 0;
}
