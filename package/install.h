// Installing a firmware package into the flash: fresh static volumes
// "rootfs" and then "kernel", each streamed from the package and read back.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "flash/ubi.h"
#include "package/bpk.h"

// 0 when both images were installed and verified, else -1. A package that
// fails validation leaves the flash untouched. The UBI device is detached
// when it returns.
int install_package(const char* path);

int install_entry(PackageFile* package, uint32_t type, const char* name,
                  UbiInfo* info);

// Removes "kernel", "rootfs", "rootfs_old", "kernel_old", "kernel_new".
void remove_known_volumes(UbiInfo* info);

// The volume writer's reader over the package's selected entry.
ssize_t bpk_volume_reader(void* package, void* buffer, size_t count);
