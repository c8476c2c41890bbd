// Checking a package before it goes anywhere near the flash, and the
// checksums that verify what was written.
#pragma once

#include <cstdint>

#include "package/bpk.h"
#include "package/signature_hooks.h"

// An image as validation found it: the size and the CRC that its data was
// checked against.
struct PackageImage {
  uint32_t type = 0;
  uint64_t size = 0;
  uint32_t crc = 0;
  // With trusted keys: the digest of the data validation read.
  Digest digest{};
};

// What an installation writes, as validated: it writes and verifies against
// these, never against the file read again later.
struct ValidatedPackage {
  PackageImage kernel;
  PackageImage rootfs;
};

// 0 when the container and the kernel and rootfs entries are sound: each
// present, of 1 byte to 4 GiB - 1 (what a volume takes), its data matching
// its CRC. -1 otherwise. Every failure is reported on stderr; with a sound
// container both entries are examined, the kernel first. images, when
// given, receives what was checked. With signatures (trusted keys), a sound
// package must also carry a signature that they verify. With a board name
// (compatible), a package that names boards must name that one
// (check_compatible), checked before any image is read.
int validate_package(PackageFile* package, ValidatedPackage* images = nullptr,
                     const SignatureHooks* signatures = nullptr,
                     const char* compatible = nullptr);

// Runs a file through the bare CRC-32 register (preset 0xFFFFFFFF, not
// complemented), in 4096-byte chunks; 0 when the whole file was read.
int file_crc32(const char* path, uint32_t* register_out);
