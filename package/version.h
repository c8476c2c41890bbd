// Firmware version text: "N.N.N.N", then any mix of white space, at most one
// "+" and at most one kind letter ("x", "t" or "r").
#pragma once

#include <cstddef>
#include <cstdint>

struct FirmwareVersion {
  uint32_t numbers[4] = {};
  uint8_t plus = 0;
  uint32_t kind = 3;  // 0 "x", 1 "t", 2 "r", 3 none
};

// Each returns 0 or a negated errno: -EINVAL for a missing argument, -EILSEQ
// for text that breaks the grammar or does not fit, -ENOENT when the source
// cannot be opened, -ENOMEM, and -ENODATA for a package without a version.
int parse_version(const char* text, FirmwareVersion* version);
// The same for size bytes that are not terminated: a zero byte among them
// is text that breaks the grammar (-EILSEQ), not its end.
int parse_version_bytes(const char* bytes, size_t size,
                        FirmwareVersion* version);
int read_version_file(const char* path, FirmwareVersion* version);
int read_package_version(const char* path, FirmwareVersion* version);

// 1, 0 or -1 by the four numbers alone; -2 when either is missing.
int compare_versions(const FirmwareVersion* a, const FirmwareVersion* b);
