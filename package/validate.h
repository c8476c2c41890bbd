// Checking a package before it goes anywhere near the flash, and the
// checksums that verify what was written.
#pragma once

#include <cstdint>

#include "package/bpk.h"

// 0 when the container and the kernel and rootfs entries are sound. Every
// failure is reported; with a sound container both entries are examined.
int validate_package(PackageFile* package);

// Runs a file through the bare CRC-32 register (preset 0xFFFFFFFF, not
// complemented), in 4096-byte chunks; 0 when the whole file was read.
int file_crc32(const char* path, uint32_t* register_out);
