// Where the device's firmware lives and where it comes from: the flash
// partition and its volumes, the mount points, and the package paths. The
// boot sequence, the update and rescue sources and the installation all
// name them from here.
#pragma once

// The firmware's volumes, and every name an installation removes first (in
// this order): the firmware and what older firmware left beside it.
constexpr char kernel_volume[] = "kernel";
constexpr char rootfs_volume[] = "rootfs";
constexpr const char* known_volumes[] = {"kernel", "rootfs", "rootfs_old",
                                         "kernel_old", "kernel_new"};
// Where an installation with room for both firmwares writes the new one
// before renaming it into place, and every name a cut installation may
// leave behind, removed before an installation measures the room.
constexpr char kernel_volume_new[] = "kernel_new";
constexpr char rootfs_volume_new[] = "rootfs_new";
constexpr const char* leftover_volumes[] = {"rootfs_old", "kernel_old",
                                            "kernel_new", "rootfs_new"};

// Mount points, all present in the initramfs.
constexpr char mmc_mount_point[] = "/mnt/mmc";
constexpr char usb_mount_point[] = "/mnt/usb";
constexpr char root_mount_point[] = "/root";

// Packages: the card's update (and where else update mode looks for it),
// the card's backup for a rescue, and the stick's update, which a USB update
// copies to the card's update path before installing it.
constexpr char card_update_package[] = "/mnt/mmc/update.bpk2";
constexpr char card_update_package_fallback[] = "/mnt/mmc/packages/update.bpk2";
constexpr char card_backup_package[] = "/mnt/mmc/backup.bpk2";
constexpr char usb_update_package[] = "/mnt/usb/update.bpk2";

// How long a medium may take to show up, in milliseconds.
constexpr unsigned mmc_wait_ms = 3000;
constexpr unsigned usb_wait_ms = 30000;
