// The firmware package container ("bpk2"): a big-endian 28-byte header, then
// entries laid end to end, each a 24-byte entry header and its data.
//
//   header: magic "VLNR" | version u32 | length u64 | crc u32 | 0 u32 | 0 u32
//   entry:  type u32 | size u64 | crc u32 | variant u32 | 0 u32 | data...
//
// The entry crc covers the entry's data; the container crc covers the header
// (its crc field taken as zero) and every entry header, not the data.
// The library prints nothing; it reports through results and errno.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>

#include "common/unique_fd.h"

constexpr uint32_t bpk_magic = 0x564C4E52;  // "VLNR"
constexpr uint32_t bpk_version = 0x00010000;
constexpr uint32_t bpk_header_size = 28;
constexpr uint32_t bpk_entry_header_size = 24;
// Where each field lies in the container header and in an entry header.
constexpr uint32_t bpk_header_magic_at = 0;
constexpr uint32_t bpk_header_version_at = 4;
constexpr uint32_t bpk_header_length_at = 8;
constexpr uint32_t bpk_header_crc_at = 16;
constexpr uint32_t bpk_entry_type_at = 0;
constexpr uint32_t bpk_entry_size_at = 4;
constexpr uint32_t bpk_entry_crc_at = 12;
constexpr uint32_t bpk_entry_variant_at = 16;
constexpr uint32_t bpk_chunk = 2048;
// The stream moves by 32-bit offsets and the device's long is 32 bits: a
// container must stay below 2 GiB.
constexpr uint64_t bpk_container_limit = uint64_t{1} << 31;

constexpr uint32_t bpk_type_kernel = 0x504B4552;   // "PKER"
constexpr uint32_t bpk_type_rootfs = 0x50524653;   // "PRFS"
constexpr uint32_t bpk_type_version = 0x46575600;  // "FWV\0"
constexpr uint32_t bpk_no_entry = 0xDEADBEEF;      // bpk_next: nothing further
constexpr uint32_t bpk_crc_failed = 0xFFFFFFFF;

// An open container. entry_pos and entry_size describe the selected entry
// (entry_size 0: none); end is where the next entry will be appended;
// length is the header's length as opened, all 64 bits of it.
struct PackageFile {
  unique_fd fd;
  uint32_t entry_pos = 0;
  uint32_t entry_size = 0;
  uint32_t end = 0;
  uint64_t length = 0;
  bool writable = false;
};

// Rewrites length and crc of a writable container, then closes and frees.
void bpk_close(PackageFile* package);

struct PackageCloser {
  void operator()(PackageFile* package) const { bpk_close(package); }
};
using PackagePtr = std::unique_ptr<PackageFile, PackageCloser>;

// A new, empty, writable container; an existing file is truncated.
PackagePtr bpk_create(const char* path);
// The same, but only where nothing (not even a symbolic link) has the name:
// EEXIST otherwise.
PackagePtr bpk_create_new(const char* path);
// Null on failure, errno telling why: the open's own error, EISDIR or
// EINVAL for a path that is not a regular file (a FIFO or a device node is
// never opened in a way that could block), EILSEQ for a bad header.
PackagePtr bpk_open(const char* path, bool writable);

// The container CRC computed from the file (0xFFFFFFFF when the structure
// walk fails); stored_crc receives the header's crc.
uint32_t bpk_container_crc(PackageFile* package, uint32_t* stored_crc);
// 0 when the computed container CRC equals the stored one and is not
// 0xFFFFFFFF (the structure walk's failure), else -1.
int bpk_verify(PackageFile* package);
// Back to the first entry header, nothing selected: the new position, or
// -1 with errno from the seek.
off_t bpk_rewind(PackageFile* package);

// Selects the first entry of that type and variant (size and crc, either
// may be null, receive its header's): 0, or -1 with nothing selected.
int bpk_find(PackageFile* package, uint32_t type, uint32_t variant,
             uint64_t* size, uint32_t* crc);
// The next entry's type, or 0xDEADBEEF when there is none (or the entry's
// type is that value: bpk_next_entry tells the two apart).
uint32_t bpk_next(PackageFile* package, uint64_t* size, uint32_t* crc,
                  uint32_t* variant);
// 0 and the next entry selected, or -1 when there is none.
int bpk_next_entry(PackageFile* package, uint32_t* type, uint64_t* size,
                   uint32_t* crc, uint32_t* variant);
// Up to count bytes of the selected entry (never past its end): how many
// were read, 0 at the end of the entry (the stream is then not touched), 0
// with errno EIO when the file fails.
uint64_t bpk_read(PackageFile* package, void* buffer, uint64_t count);

// CRC-32 of the selected entry's whole data; 0xFFFFFFFF when it cannot all
// be read. The reading position is kept.
uint32_t bpk_entry_crc(PackageFile* package);
// The same, telling a failure apart from data whose CRC is 0xFFFFFFFF.
// observe, when given, sees the data as it is read (a digest rides on it).
using bpk_observer = void (*)(void* context, const void* data, size_t length);
int bpk_entry_crc_checked(PackageFile* package, uint32_t* crc,
                          bpk_observer observe = nullptr,
                          void* context = nullptr);

// Supplies up to capacity bytes; 0 at the end, negative on error.
using bpk_reader = ssize_t (*)(void* buffer, size_t capacity, void* context);

// Appends an entry: 0; -1 the source file cannot be opened (add_file); -2
// the entry header cannot be written; -3 a data write falls short; -4 the
// reader failed (EIO) or the source file could not be read; -5 no memory.
// errno holds the failing call's own error (ENOSPC for a write that took
// nothing).
[[nodiscard]] int bpk_add_stream(PackageFile* package, uint32_t type,
                                 uint32_t variant, bpk_reader reader,
                                 void* context);
[[nodiscard]] int bpk_add_file(PackageFile* package, uint32_t type,
                               uint32_t variant, const char* path);
// Copies the rest of the selected entry into a new file: 0; -1 the target
// cannot be opened; -2 no memory; -3 a write falls short; -4 the container
// ends inside the entry (ENODATA) or fails to be read, or the target fails
// to close. errno as the failing call left it.
[[nodiscard]] int bpk_extract(PackageFile* package, const char* path);

// The chained CRC-32: feeding the pieces of a message in order, starting
// from 0, gives the CRC-32 of the whole.
uint32_t bpk_crc32(const void* bytes, size_t length, uint32_t previous);
