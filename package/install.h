// Installing a firmware package into the flash: fresh static volumes
// "rootfs" and then "kernel", each streamed from the package and read back.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "flash/ubi.h"
#include "package/bpk.h"
#include "package/validate.h"

// 0 when both images were installed and verified, else -1. A package that
// fails validation, or whose images do not fit the UBI device, leaves the
// flash untouched. When the flash has room for the new images beside the
// installed firmware, they are written under temporary names, checked, and
// renamed into place in one request that removes the old volumes: any
// failure before that leaves the installed firmware as it was. Without that
// room the old volumes are removed first. The UBI device is detached when
// it returns.
[[nodiscard]] int install_package(const char* path);

// Writes the image into a new static volume called name (removing an old
// one first) and reads it back: 0, or -1 with the volume removed again.
// The size written and the CRC verified are the image's, as validation
// found them; with signatures, so is the digest of what was streamed. The
// lines name label when given (the volume's name once it is renamed into
// place), else name.
[[nodiscard]] int install_image(PackageFile* package, const PackageImage& image,
                                const char* name, UbiInfo* info,
                                const SignatureHooks* signatures = nullptr,
                                const char* label = nullptr);
// The same for the entry of that type, with the size and CRC its header
// holds now.
[[nodiscard]] int install_entry(PackageFile* package, uint32_t type,
                                const char* name, UbiInfo* info);

// 0 when the images fit the UBI device once the known firmware volumes are
// removed: the logical erase blocks they need must not exceed the device's
// available ones plus those the known volumes reserve. Reported when not.
int check_images_fit(UbiInfo* info, const ValidatedPackage& images);

// 0 when the images fit the UBI device beside the volumes it holds now:
// the new firmware can then be written under temporary names while the
// installed one stays. Silent unless the sizes cannot be read.
int check_images_fit_beside(UbiInfo* info, const ValidatedPackage& images);

// Whether the flash holds the package's firmware already: "kernel" and
// "rootfs" sound, each of its image's size and CRC-32 as the package's
// entries state them. Reads the package's headers and the volumes (the UBI
// device attached when it is not); writes nothing, and reports nothing but
// what a refused attach reports.
bool package_is_installed(const char* path);

// Removes "kernel", "rootfs", "rootfs_old", "kernel_old", "kernel_new".
void remove_known_volumes(UbiInfo* info);
// Removes what a cut installation may have left: "rootfs_old",
// "kernel_old", "kernel_new", "rootfs_new".
void remove_leftover_volumes(UbiInfo* info);

// The volume writer's reader over the package's selected entry.
ssize_t bpk_volume_reader(void* package, void* buffer, size_t count);
