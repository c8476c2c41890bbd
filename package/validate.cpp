#include "package/validate.h"

#include <fcntl.h>

#include <memory>
#include <new>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/progress.h"
#include "common/unique_fd.h"
#include "package/compatible.h"
#include "package/crc32.h"

namespace {

enum class EntryCheck { sound, missing, bad_size, damaged };

struct RunningDigest {
  const SignatureHooks* hooks;
  DigestState state;
};

void feed_digest(void* context, const void* data, size_t length) {
  auto* digest = static_cast<RunningDigest*>(context);
  digest->hooks->digest_feed(&digest->state, data, length);
}

EntryCheck check_entry(PackageFile* package, PackageImage* image,
                       const SignatureHooks* signatures) {
  if (bpk_find(package, image->type, 0, &image->size, &image->crc) != 0) {
    return EntryCheck::missing;
  }
  // An empty image makes no volume (UBI refuses one of 0 bytes) and one of
  // 4 GiB or more none of that size: both are known before anything is
  // erased.
  if (image->size == 0 || image->size > 0xFFFFFFFFu) {
    return EntryCheck::bad_size;
  }
  // Data that cannot all be read is damaged, whatever CRC it claims. The
  // digest, when there are signatures, is taken on the same read.
  uint32_t computed = 0;
  RunningDigest digest{signatures, {}};
  if (signatures != nullptr) signatures->digest_start(&digest.state);
  if (bpk_entry_crc_checked(package, &computed,
                            signatures != nullptr ? feed_digest : nullptr,
                            &digest) != 0 ||
      computed != image->crc) {
    return EntryCheck::damaged;
  }
  if (signatures != nullptr)
    signatures->digest_finish(&digest.state, &image->digest);
  return EntryCheck::sound;
}

// The lines that report an entry's failed check.
struct EntryLines {
  const char* missing;
  const char* bad_size;
  const char* damaged;
};
constexpr EntryLines kernel_lines = {"Failed to find kernel partition",
                                     "Failed to validate kernel size",
                                     "Failed to validate kernel CRC"};
constexpr EntryLines rootfs_lines = {"Failed to find rootfs partition",
                                     "Failed to validate rootfs size",
                                     "Failed to validate rootfs CRC"};

// Reports a failed check: 0 when the entry is sound.
int report_entry(EntryCheck check, const EntryLines& lines) {
  switch (check) {
    case EntryCheck::missing:
      emit_line(2, lines.missing);
      return -1;
    case EntryCheck::bad_size:
      emit_line(2, lines.bad_size);
      return -1;
    case EntryCheck::damaged:
      emit_line(2, lines.damaged);
      return -1;
    case EntryCheck::sound:
      break;
  }
  return 0;
}

}  // namespace

int validate_package(PackageFile* package, ValidatedPackage* images,
                     const SignatureHooks* signatures, const char* compatible) {
  if (package != nullptr && package->length >= bpk_container_limit) {
    emit_line(2, "Failed to validate package size");
    return -1;
  }
  if (package == nullptr || bpk_verify(package) != 0) {
    emit_line(2, "Failed to open bpk file: ", "corrupted crc");
    return -1;
  }
  if (check_compatible(package, compatible) != 0) return -1;
  ValidatedPackage found;
  found.kernel.type = bpk_type_kernel;
  found.rootfs.type = bpk_type_rootfs;
  int result = report_entry(check_entry(package, &found.kernel, signatures),
                            kernel_lines);
  if (report_entry(check_entry(package, &found.rootfs, signatures),
                   rootfs_lines) != 0) {
    return -1;
  }
  if (result == 0 && signatures != nullptr &&
      signatures->verify(signatures, package, found) != 0) {
    return -1;
  }
  if (result == 0 && images != nullptr) *images = found;
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
    note_progress(static_cast<size_t>(got));
  }
}
