#include "bootstrap/boot_sequence.h"

#include <fcntl.h>
#include <linux/reboot.h>
#include <sys/reboot.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "boards/board.h"
#include "bootstrap/bootflag.h"
#include "bootstrap/leds.h"
#include "bootstrap/modules.h"
#include "bootstrap/mounts.h"
#include "bootstrap/sources.h"
#include "bootstrap/trial_boots.h"
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

// What the register held at power-on, and how many boots new firmware has
// to confirm that it runs (0: a build without trial boots).
struct BootFlag {
  uint16_t high = BOOTFLAG_NONE;
  uint16_t low = 0;
  unsigned attempts = 0;
  bool on_trial() const { return attempts > 0 && bootflag_on_trial(high, low); }
};

// The low half that new firmware starts with: on trial in a build with
// trial boots, else 0.
uint16_t new_firmware_low(const BootFlag& flag) {
  return flag.attempts > 0 ? bootflag_mark(bootflag_trial_mark, flag.attempts)
                           : 0;
}

bool update_mode(const BootFlag& flag) {
  emit_line(1, "Update flag found");
  led_off(device_board().led_red);
  led_timer(device_board().led_green, 20, 20);
  watchdog_reset(300);
  if (mount_medium(MEDIUM_MMC, mmc_mount_point, mmc_wait_ms, 0) != 0) {
    emit_line(1, "Failed to initialize MMC");
    return false;
  }
  if (install_package(card_update_package) == 0 ||
      install_package(card_update_package_fallback) == 0) {
    bootflag_write(BOOTFLAG_NONE, new_firmware_low(flag));
    emit_line(1, "Firmware updated");
    return true;
  }
  emit_line(1, "Update failed");
  return false;
}

void rescue_leds() {
  led_off(device_board().led_green);
  led_timer(device_board().led_red, 20, 20);
}

bool rescue_mode() {
  rescue_leds();
  watchdog_reset(300);
  if (rescue_firmware() != 0) return false;
  bootflag_write(BOOTFLAG_NONE, 0);
  emit_line(1, "Firmware rescued");
  return true;
}

bool usb_mode(const BootFlag& flag) {
  rescue_leds();
  watchdog_reset(300);
  if (update_from_usb() != 0) return false;
  bootflag_write(BOOTFLAG_USB_DONE, new_firmware_low(flag));
  emit_line(1, "Firmware updated from USB");
  return true;
}

// A request the firmware made that failed, in a build with trial boots: it
// is counted in the low half and tried again, until it has failed as often
// as new firmware may boot unconfirmed; then it is given up and the
// installed firmware boots (a firmware left damaged by the failure goes to
// the card's backup there). The bootstrap's own rescue request stands for
// firmware that cannot boot at all and is never given up.
void count_failed_request(const BootFlag& flag, uint16_t asked) {
  if (flag.attempts == 0 || flag.high != asked ||
      (asked == BOOTFLAG_RESCUE && flag.low == 1)) {
    return;
  }
  unsigned failed = bootflag_marked(flag.low, bootflag_failed_mark)
                        ? (flag.low & 0xFFu) + 1
                        : 1;
  if (failed < flag.attempts) {
    bootflag_write(asked, bootflag_mark(bootflag_failed_mark, failed));
    return;
  }
  emit_line(2, "Request given up after ", std::to_string(failed),
            " failed attempts");
  bootflag_write(BOOTFLAG_DROPPED, asked);
}

// The card's backup in place of firmware that cannot come up. A backup
// that is the installed firmware already is not installed again (it is
// what failed): the device restarts with the flash as it is and the
// register unchanged, until a person or a new request acts. Firmware on
// trial that the backup replaced is trusted no more: the backup is.
void fallback_rescue(const BootFlag& flag) {
  rescue_leds();
  watchdog_reset(300);
  int result = rescue_firmware(true);
  if (result == -1) {
    bootflag_write(BOOTFLAG_RESCUE, 1);
  } else if (result == 0 && flag.on_trial()) {
    bootflag_write(BOOTFLAG_NONE, 0);
  }
}

// New firmware that used up its boots without confirming: the card's
// backup takes its place and is trusted. A backup that is that firmware is
// trusted as it is. Without a backup to take (no card, none on it, one
// that does not validate) the trial ends and the new firmware is kept: it
// is all the device has, and it may run without knowing how to confirm.
void trial_failed(const BootFlag& flag) {
  emit_line(2, "Firmware not confirmed after ", std::to_string(flag.attempts),
            " boots");
  rescue_leds();
  watchdog_reset(300);
  int result = rescue_firmware(true);
  if (result == 0) emit_line(1, "Firmware rescued");
  bootflag_write(result == -1 ? flag.high : BOOTFLAG_NONE, 0);
}

// The volume checks; the first failure's line, or null when both are sound.
const char* volume_problem(UbiVolume* kernel, UbiVolume* rootfs) {
  if (kernel == nullptr) return "No \"kernel\" volume available";
  if (rootfs == nullptr) return "No \"rootfs\" volume available";
  if (ubi_volume_check(kernel) != 0) return "Corrupted \"kernel\" volume";
  if (ubi_volume_check(rootfs) != 0) return "Corrupted \"rootfs\" volume";
  return nullptr;
}

// The seconds the normal boot may take, its volume checks aside.
constexpr int32_t normal_boot_seconds = 120;

// The normal boot's budget once the volumes are known. The kernel reads a
// static volume whole at its first open after the attach, to check it
// against its CRCs, inside the one open(): nothing the bootstrap could
// watch moves meanwhile. Each MiB the volumes hold adds a second, about twelve
// times what an SLC chip's reads take (0.08 s/MiB), so a slow or MLC chip
// fits; a hang is still ended, later by as much.
int32_t normal_boot_budget(const UbiVolume* kernel, const UbiVolume* rootfs) {
  int64_t bytes = 0;
  for (const UbiVolume* vol : {kernel, rootfs}) {
    if (vol != nullptr && vol->data_bytes > 0) bytes += vol->data_bytes;
  }
  int64_t mib = (bytes + (1 << 20) - 1) >> 20;
  return static_cast<int32_t>(
      std::min<int64_t>(normal_boot_seconds + mib, INT32_MAX));
}

// The normal boot. Returns only when it did not hand over to switch_root:
// false when the caller is to end the boot (stop the daemon, restart), true
// when the restart was already asked for and the kernel refused it, which
// ends the program.
bool normal_boot(int argc, char** argv, const BootFlag& flag) {
  emit_line(1, "Checking rootfs/kernel volumes");
  watchdog_reset(normal_boot_seconds);
  int attach_error = 0;
  UbiInfoPtr info =
      ubi_info_for_mtd(device_board().ubi_partition, &attach_error);
  if (!info) {
    emit_line(1, "Failed to load ubi information");
    // A partition of data UBI cannot attach holds no firmware that could
    // ever boot: the card's backup takes over (the rescue erases it).
    if (attach_error == EINVAL) {
      fallback_rescue(flag);
      return false;
    }
    restart_system();  // without stopping the daemon
    return true;
  }
  UbiVolume* kernel = ubi_volume_find(info.get(), kernel_volume);
  UbiVolume* rootfs = ubi_volume_find(info.get(), rootfs_volume);
  watchdog_extend(normal_boot_budget(kernel, rootfs));
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
    fallback_rescue(flag);
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
    // Firmware on trial uses one of its boots by being started.
    if (flag.on_trial()) {
      bootflag_write(flag.high, bootflag_mark(bootflag_trial_mark,
                                              (flag.low & 0xFFu) - 1));
    }
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
  fallback_rescue(flag);
  return false;
}

}  // namespace

[[gnu::weak]] unsigned trial_boot_attempts() { return 0; }

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
  led_off(device_board().led_red);
  led_timer(device_board().led_green, 50, 50);
  mount_medium(MEDIUM_PROC, nullptr, 0, 0);
  BootFlag flag;
  bootflag_read(&flag.high, &flag.low);
  flag.attempts = trial_boot_attempts();

  switch (choose_mode(&argc, argv, flag.high)) {
    case BootMode::update:
      if (!update_mode(flag)) count_failed_request(flag, BOOTFLAG_UPDATE);
      break;
    case BootMode::rescue:
      if (!rescue_mode()) count_failed_request(flag, BOOTFLAG_RESCUE);
      break;
    case BootMode::usb:
      if (!usb_mode(flag)) count_failed_request(flag, BOOTFLAG_USB);
      break;
    case BootMode::normal:
      if (flag.on_trial() && (flag.low & 0xFFu) == 0) {
        trial_failed(flag);
      } else if (normal_boot(argc, argv, flag)) {
        return 0;
      }
      break;
  }
  watchdog_stop();
  restart_system();
  return 0;
}
