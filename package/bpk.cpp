#include "package/bpk.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/os.h"
#include "common/progress.h"
#include "package/big_endian.h"
#include "package/crc32.h"

namespace {

struct EntryHeader {
  uint32_t type;
  uint64_t size;
  uint32_t crc;
  uint32_t variant;
};

// Reads until count bytes arrived, the file ends or a read fails.
ssize_t read_full(int fd, void* buffer, size_t count) {
  size_t got = 0;
  while (got < count) {
    ssize_t n = os::read(fd, static_cast<char*>(buffer) + got, count - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

bool write_full(int fd, const void* buffer, size_t count) {
  size_t put = 0;
  while (put < count) {
    ssize_t n =
        os::write(fd, static_cast<const char*>(buffer) + put, count - put);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = ENOSPC;  // nothing taken, no error: the medium is full
    if (n <= 0) return false;
    put += static_cast<size_t>(n);
  }
  return true;
}

off_t tell(int fd) { return os::lseek(fd, 0, SEEK_CUR); }

// Seeks move by the low 32 bits of a size, always forward.
bool skip(int fd, uint64_t size) {
  return os::lseek(fd, static_cast<off_t>(static_cast<uint32_t>(size)),
                   SEEK_CUR) >= 0;
}

bool write_header(int fd) {
  unsigned char h[bpk_header_size] = {};
  put_be32(h + bpk_header_magic_at, bpk_magic);
  put_be32(h + bpk_header_version_at, bpk_version);
  put_be64(h + bpk_header_length_at, bpk_header_size);
  return write_full(fd, h, sizeof h);
}

// Reads and checks the header; length receives its low 32 bits.
bool read_header(int fd, uint64_t* length) {
  unsigned char h[bpk_header_size];
  if (read_full(fd, h, sizeof h) != static_cast<ssize_t>(sizeof h))
    return false;
  *length = get_be64(h + bpk_header_length_at);
  return get_be32(h + bpk_header_magic_at) == bpk_magic &&
         get_be32(h + bpk_header_version_at) < 0x00020000;
}

EntryHeader parse_entry_header(const unsigned char* h) {
  return {get_be32(h + bpk_entry_type_at), get_be64(h + bpk_entry_size_at),
          get_be32(h + bpk_entry_crc_at), get_be32(h + bpk_entry_variant_at)};
}

// The next entry header, unless the position has reached end or the file
// runs out.
bool next_entry_header(PackageFile* p, EntryHeader* e) {
  off_t pos = tell(p->fd.get());
  if (pos < 0 || pos >= static_cast<off_t>(p->end)) return false;
  unsigned char h[bpk_entry_header_size];
  if (read_full(p->fd.get(), h, sizeof h) != static_cast<ssize_t>(sizeof h)) {
    return false;
  }
  *e = parse_entry_header(h);
  return true;
}

// The walks over all entry headers (the container CRC, finding an entry)
// read the file a block at a time: a container of many small entries then
// costs a read per block, not a read and a seek per entry.
constexpr size_t walk_block = 16384;

struct HeaderWalk {
  int fd;
  std::unique_ptr<unsigned char[]> block{
      new (std::nothrow) unsigned char[walk_block]};
  off_t start = 0;  // file offset of block[0]
  size_t filled = 0;

  // The 24 bytes of the entry header at offset; false when the file ends
  // before them or cannot be read.
  bool header_at(off_t offset, unsigned char* out) {
    if (!block) return false;
    if (offset < start ||
        offset + bpk_entry_header_size > start + static_cast<off_t>(filled)) {
      if (os::lseek(fd, offset, SEEK_SET) != offset) return false;
      ssize_t got = read_full(fd, block.get(), walk_block);
      start = offset;
      filled = got > 0 ? static_cast<size_t>(got) : 0;
      if (filled < bpk_entry_header_size) return false;
    }
    std::memcpy(out, block.get() + (offset - start), bpk_entry_header_size);
    return true;
  }
};

// Seeks move by the low 32 bits of a size, always forward.
off_t after_entry(off_t header, uint64_t size) {
  return header + bpk_entry_header_size + static_cast<uint32_t>(size);
}

void select_entry(PackageFile* p, const EntryHeader& e) {
  p->entry_pos = 0;
  p->entry_size = static_cast<uint32_t>(e.size);
}

void clear_selection(PackageFile* p) {
  p->entry_pos = 0;
  p->entry_size = 0;
}

std::unique_ptr<unsigned char[]> chunk_buffer() {
  return std::unique_ptr<unsigned char[]>(
      new (std::nothrow) unsigned char[bpk_chunk]);
}

// Appends the provisional header of a new entry at end: size and crc follow
// once the data is written.
int begin_entry(PackageFile* p, uint32_t type, uint32_t variant) {
  unsigned char h[bpk_entry_header_size] = {};
  put_be32(h + bpk_entry_type_at, type);
  put_be32(h + bpk_entry_variant_at, variant);
  if (os::lseek(p->fd.get(), p->end, SEEK_SET) < 0 ||
      !write_full(p->fd.get(), h, sizeof h)) {
    return -2;  // errno from the failing call
  }
  p->end += bpk_entry_header_size;
  return 0;
}

// Writes size and crc into the entry header behind data_size bytes of data.
int finish_entry(PackageFile* p, uint64_t data_size, uint32_t crc) {
  // The size and the crc lie side by side, from the size's offset on.
  static_assert(bpk_entry_crc_at == bpk_entry_size_at + 8);
  unsigned char f[12];
  put_be64(f, data_size);
  put_be32(f + 8, crc);
  off_t back = -static_cast<off_t>(data_size + bpk_entry_header_size -
                                   bpk_entry_size_at);
  if (os::lseek(p->fd.get(), back, SEEK_CUR) >= 0) {
    (void)write_full(p->fd.get(), f, sizeof f);
  }
  os::lseek(p->fd.get(), p->end, SEEK_SET);
  clear_selection(p);
  return 0;
}

// Writes one chunk of new entry data: -3 when it falls short.
int append_chunk(PackageFile* p, const unsigned char* data, size_t n,
                 uint64_t* size, uint32_t* crc) {
  *crc = bpk_crc32(data, n, *crc);
  if (!write_full(p->fd.get(), data, n)) return -3;  // errno from the write
  note_progress(n);
  *size += n;
  p->end += static_cast<uint32_t>(n);
  return 0;
}

// The handle of an open container, nothing selected.
PackagePtr make_handle(unique_fd fd, uint32_t end, bool writable) {
  PackagePtr p(new PackageFile);
  p->fd = std::move(fd);
  p->end = end;
  p->writable = writable;
  return p;
}

}  // namespace

uint32_t bpk_crc32(const void* bytes, size_t length, uint32_t previous) {
  return ~crc32_detail::crc32_update(
      ~previous, static_cast<const unsigned char*>(bytes), length);
}

namespace {

// A new container at path, opened with these creation flags.
PackagePtr create_with(const char* path, int flags) {
  unique_fd fd(os::open(path, O_RDWR | O_CREAT | flags, 0666));
  if (!fd.ok() || !write_header(fd.get())) return nullptr;
  return make_handle(std::move(fd), bpk_header_size, true);
}

}  // namespace

PackagePtr bpk_create(const char* path) { return create_with(path, O_TRUNC); }

// O_EXCL: never a file or a symbolic link that is already there.
PackagePtr bpk_create_new(const char* path) {
  return create_with(path, O_EXCL);
}

namespace {

// Opens an existing package. Without O_NONBLOCK a FIFO on a card would
// block the open (and every read) until the watchdog fires; anything but a
// regular file is refused: EISDIR for a directory, EINVAL for the rest.
unique_fd open_regular(const char* path, int flags) {
  unique_fd fd(os::open(path, flags | O_NONBLOCK));
  struct stat st;
  if (!fd.ok() || os::fstat(fd.get(), &st) != 0) return unique_fd();
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return unique_fd();
  }
  return fd;
}

}  // namespace

PackagePtr bpk_open(const char* path, bool writable) {
  unique_fd fd;
  if (!writable) {
    fd = open_regular(path, O_RDONLY);
  } else {
    fd = open_regular(path, O_RDWR);
    if (!fd.ok() && errno == ENOENT) {
      fd.reset(os::open(path, O_RDWR | O_CREAT | O_EXCL, 0666));
    }
    if (fd.ok()) {
      off_t size = os::lseek(fd.get(), 0, SEEK_END);
      if (size >= 0 && size < static_cast<off_t>(bpk_header_size) &&
          !write_header(fd.get())) {
        return nullptr;
      }
      os::lseek(fd.get(), 0, SEEK_SET);
    }
  }
  if (!fd.ok()) return nullptr;
  uint64_t length = 0;
  if (!read_header(fd.get(), &length)) {
    errno = EILSEQ;
    return nullptr;
  }
  PackagePtr p =
      make_handle(std::move(fd), static_cast<uint32_t>(length), writable);
  p->length = length;
  return p;
}

void bpk_close(PackageFile* p) {
  if (p == nullptr) return;
  if (p->writable) {
    unsigned char length[8];
    put_be64(length, p->end);
    if (os::lseek(p->fd.get(), bpk_header_length_at, SEEK_SET) ==
        bpk_header_length_at) {
      (void)write_full(p->fd.get(), length, sizeof length);
    }
    unsigned char crc[4];
    put_be32(crc, bpk_container_crc(p, nullptr));
    if (os::lseek(p->fd.get(), bpk_header_crc_at, SEEK_SET) ==
        bpk_header_crc_at) {
      (void)write_full(p->fd.get(), crc, sizeof crc);
    }
  }
  delete p;  // closes the descriptor
}

uint32_t bpk_container_crc(PackageFile* p, uint32_t* stored_crc) {
  int fd = p->fd.get();
  off_t saved = tell(fd);
  unsigned char h[bpk_header_size];
  if (os::lseek(fd, 0, SEEK_SET) != 0 ||
      read_full(fd, h, sizeof h) != static_cast<ssize_t>(sizeof h)) {
    os::lseek(fd, saved, SEEK_SET);
    return bpk_crc_failed;
  }
  if (stored_crc != nullptr) *stored_crc = get_be32(h + bpk_header_crc_at);
  std::memset(h + bpk_header_crc_at, 0, 4);
  uint32_t crc = bpk_crc32(h, sizeof h, 0);

  // The walk doubles as the structure check: it must consume exactly
  // length - 28 bytes, entry header by entry header.
  uint64_t to_go = get_be64(h + bpk_header_length_at) - bpk_header_size;
  HeaderWalk walk{fd};
  off_t at = bpk_header_size;
  while (to_go != 0) {
    if (to_go < bpk_entry_header_size) break;
    unsigned char e[bpk_entry_header_size];
    if (!walk.header_at(at, e)) break;
    to_go -= bpk_entry_header_size;
    crc = bpk_crc32(e, sizeof e, crc);
    uint64_t size = get_be64(e + bpk_entry_size_at);
    at = after_entry(at, size);
    to_go -= size;
  }
  os::lseek(fd, saved, SEEK_SET);
  return to_go == 0 ? crc : bpk_crc_failed;
}

int bpk_verify(PackageFile* p) {
  uint32_t stored = 0;
  uint32_t computed = bpk_container_crc(p, &stored);
  return computed != bpk_crc_failed && computed == stored ? 0 : -1;
}

off_t bpk_rewind(PackageFile* p) {
  clear_selection(p);
  return os::lseek(p->fd.get(), bpk_header_size, SEEK_SET);
}

int bpk_find(PackageFile* p, uint32_t type, uint32_t variant, uint64_t* size,
             uint32_t* crc) {
  if (bpk_rewind(p) < 0) return -1;
  HeaderWalk walk{p->fd.get()};
  for (off_t at = bpk_header_size; at < static_cast<off_t>(p->end);) {
    unsigned char h[bpk_entry_header_size];
    if (!walk.header_at(at, h)) break;
    EntryHeader e = parse_entry_header(h);
    if (e.type == type && e.variant == variant) {
      // The stream stands at the entry's first data byte.
      off_t data = at + bpk_entry_header_size;
      if (os::lseek(p->fd.get(), data, SEEK_SET) != data) break;
      if (size != nullptr) *size = e.size;
      if (crc != nullptr) *crc = e.crc;
      select_entry(p, e);
      return 0;
    }
    at = after_entry(at, e.size);
  }
  bpk_rewind(p);
  return -1;
}

int bpk_next_entry(PackageFile* p, uint32_t* type, uint64_t* size,
                   uint32_t* crc, uint32_t* variant) {
  if (p->entry_size != 0 && !skip(p->fd.get(), p->entry_size - p->entry_pos)) {
    return -1;
  }
  EntryHeader e;
  if (!next_entry_header(p, &e)) return -1;
  if (type != nullptr) *type = e.type;
  if (size != nullptr) *size = e.size;
  if (crc != nullptr) *crc = e.crc;
  if (variant != nullptr) *variant = e.variant;
  select_entry(p, e);
  return 0;
}

uint32_t bpk_next(PackageFile* p, uint64_t* size, uint32_t* crc,
                  uint32_t* variant) {
  uint32_t type;
  return bpk_next_entry(p, &type, size, crc, variant) == 0 ? type
                                                           : bpk_no_entry;
}

uint64_t bpk_read(PackageFile* p, void* buffer, uint64_t count) {
  uint64_t left = p->entry_size - p->entry_pos;
  if (count > left) count = left;
  if (count == 0) return 0;
  ssize_t got = read_full(p->fd.get(), buffer, static_cast<size_t>(count));
  if (got < 0) {
    errno = EIO;
    return 0;
  }
  p->entry_pos += static_cast<uint32_t>(got);
  return static_cast<uint64_t>(got);
}

// The entry CRC reads the file in blocks of this many chunks, as a buffered
// stream would, and feeds the CRC chunk by chunk: one read call per block
// instead of per chunk is most of the validation's cost.
constexpr uint32_t crc_block_chunks = 32;

int bpk_entry_crc_checked(PackageFile* p, uint32_t* crc, bpk_observer observe,
                          void* context) {
  constexpr uint32_t block = crc_block_chunks * bpk_chunk;
  std::unique_ptr<unsigned char[]> buffer(
      new (std::nothrow) unsigned char[block]);
  if (!buffer) return -1;
  int fd = p->fd.get();
  if (p->entry_pos != 0 &&
      os::lseek(fd, -static_cast<off_t>(p->entry_pos), SEEK_CUR) < 0) {
    return -1;
  }
  uint32_t value = 0;
  uint32_t to_go = p->entry_size;
  while (to_go != 0) {
    size_t want = to_go < block ? to_go : block;
    ssize_t got = read_full(fd, buffer.get(), want);
    if (got <= 0) break;
    if (observe != nullptr) observe(context, buffer.get(), got);
    note_progress(static_cast<size_t>(got));
    for (size_t at = 0; at < static_cast<size_t>(got); at += bpk_chunk) {
      size_t n = std::min<size_t>(bpk_chunk, static_cast<size_t>(got) - at);
      value = bpk_crc32(buffer.get() + at, n, value);
    }
    to_go -= static_cast<uint32_t>(got);
  }
  // Back to where reading stood: the first data byte plus entry_pos.
  os::lseek(fd, -static_cast<off_t>(p->entry_size - to_go - p->entry_pos),
            SEEK_CUR);
  if (to_go != 0) return -1;
  *crc = value;
  return 0;
}

uint32_t bpk_entry_crc(PackageFile* p) {
  uint32_t crc;
  return bpk_entry_crc_checked(p, &crc) == 0 ? crc : bpk_crc_failed;
}

namespace {

// Appends one entry whose data comes from the reader. A reader that keeps
// errno (a file) has its failure reported with it; any other with EIO.
int add_entry(PackageFile* p, uint32_t type, uint32_t variant,
              bpk_reader reader, void* context, bool reader_sets_errno) {
  if (int rc = begin_entry(p, type, variant)) return rc;
  std::unique_ptr<unsigned char[]> buffer = chunk_buffer();
  if (!buffer) return -5;
  uint64_t size = 0;
  uint32_t crc = 0;
  ssize_t got;
  while ((got = reader(buffer.get(), bpk_chunk, context)) > 0) {
    size_t n = static_cast<size_t>(got) < bpk_chunk ? static_cast<size_t>(got)
                                                    : bpk_chunk;
    if (int rc = append_chunk(p, buffer.get(), n, &size, &crc)) return rc;
  }
  if (got < 0) {
    if (!reader_sets_errno) errno = EIO;
    return -4;
  }
  return finish_entry(p, size, crc);
}

}  // namespace

int bpk_add_stream(PackageFile* p, uint32_t type, uint32_t variant,
                   bpk_reader reader, void* context) {
  return add_entry(p, type, variant, reader, context, false);
}

int bpk_add_file(PackageFile* p, uint32_t type, uint32_t variant,
                 const char* path) {
  unique_fd source(os::open(path, O_RDONLY));
  if (!source.ok()) return -1;
  // A failing read of the source (a directory, a bad sector) is reported
  // with its own error number.
  auto read_source = [](void* buffer, size_t capacity, void* fd) -> ssize_t {
    return read_full(*static_cast<int*>(fd), buffer, capacity);
  };
  int fd = source.get();
  return add_entry(p, type, variant, read_source, &fd, true);
}

int bpk_extract(PackageFile* p, const char* path) {
  unique_fd target(os::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!target.ok()) return -1;
  std::unique_ptr<unsigned char[]> buffer = chunk_buffer();
  if (!buffer) return -2;
  while (p->entry_pos < p->entry_size) {
    uint32_t left = p->entry_size - p->entry_pos;
    size_t want = left < bpk_chunk ? left : bpk_chunk;
    ssize_t got = read_full(p->fd.get(), buffer.get(), want);
    if (got <= 0) {
      // The container ended (or failed) inside the entry: the copy is not
      // the entry, and must not pass for it.
      if (got == 0) errno = ENODATA;
      clear_selection(p);
      return -4;
    }
    p->entry_pos += static_cast<uint32_t>(got);
    if (!write_full(target.get(), buffer.get(), static_cast<size_t>(got))) {
      return -3;  // errno from the write
    }
  }
  if (os::close(target.release()) != 0) return -4;
  clear_selection(p);
  return 0;
}
