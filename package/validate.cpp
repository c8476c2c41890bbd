#include "package/validate.h"

#include <fcntl.h>

#include <memory>
#include <new>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/unique_fd.h"
#include "package/crc32.h"

namespace {

enum class EntryCheck { sound, missing, damaged };

EntryCheck check_entry(PackageFile* package, uint32_t type) {
  uint32_t stored = 0;
  if (bpk_find(package, type, 0, nullptr, &stored) != 0) {
    return EntryCheck::missing;
  }
  // Data that cannot all be read is damaged, whatever CRC it claims.
  uint32_t computed = 0;
  if (bpk_entry_crc_checked(package, &computed) != 0 || computed != stored) {
    return EntryCheck::damaged;
  }
  return EntryCheck::sound;
}

}  // namespace

int validate_package(PackageFile* package) {
  if (package == nullptr || bpk_verify(package) != 0) {
    emit_line(2, "Failed to open bpk file: ", "corrupted crc");
    return -1;
  }
  int result = 0;
  switch (check_entry(package, bpk_type_kernel)) {
    case EntryCheck::missing:
      emit_line(2, "Failed to find kernel partition");
      result = -1;
      break;
    case EntryCheck::damaged:
      emit_line(2, "Failed to validate kernel CRC");
      result = -1;
      break;
    case EntryCheck::sound:
      break;
  }
  switch (check_entry(package, bpk_type_rootfs)) {
    case EntryCheck::missing:
      emit_line(2, "Failed to find rootfs partition");
      return -1;
    case EntryCheck::damaged:
      emit_line(2, "Failed to validate rootfs CRC");
      return -1;
    case EntryCheck::sound:
      break;
  }
  return result;
}

int file_crc32(const char* path, uint32_t* register_out) {
  if (path == nullptr || register_out == nullptr) return -1;
  unique_fd fd(os::open(path, O_RDONLY));
  if (!fd.ok()) {
    emit_line(2, "Failed to open file ", path);
    return -1;
  }
  constexpr size_t chunk = 4096;
  std::unique_ptr<unsigned char[]> buffer(
      new (std::nothrow) unsigned char[chunk]);
  if (!buffer) return -1;
  uint32_t value = 0xFFFFFFFF;
  *register_out = value;
  for (;;) {
    ssize_t got = os::read(fd.get(), buffer.get(), chunk);
    if (got == 0) return 0;
    if (got < 0) return -1;
    value = crc32_feed(buffer.get(), got, value);
    *register_out = value;
  }
}
