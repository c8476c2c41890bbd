// A volume node's buffering on the host: there for the workstation's speed,
// not for the kernel's behaviour. Through a volume the device reads back in
// 4 KiB reads and writes an update in 126 KiB writes; one host call per read,
// or a file written in such pieces, would cost more than the device's own
// work.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace sim {

// A file read in large pieces; past its end, up to the limit the caller
// gives, the bytes read 0xFF, as erased flash does.
class ReadAhead {
 public:
  // count bytes at `at` (at + count at most limit) of the file fd (-1: no
  // file, every byte 0xFF).
  void read(int fd, uint64_t at, uint64_t limit, char* out, size_t count);
  // What was read ahead no longer holds: the volume changed.
  void drop() { size_ = 0; }

 private:
  static constexpr size_t piece = 256 << 10;
  std::unique_ptr<char[]> buffer_;  // the file's bytes from pos_ on
  size_t size_ = 0;
  uint64_t pos_ = 0;
};

// An update's data written to a file in whole pieces, from one multiple of
// the piece's size to another, and at its end; the bytes of an unfinished
// piece wait (the kernel, too, gathers an update a whole erase block at a
// time). Written in 126 KiB pieces the host would keep the file in small
// pages, which take a third longer to write and half again as long to read
// back.
class WriteBatch {
 public:
  // n bytes that follow the first `received` of an update of `total` bytes.
  bool write(int fd, const char* data, size_t n, uint64_t received,
             uint64_t total);
  // What waits, written: an update given up part way leaves in the file
  // what it was given.
  void flush(int fd);

 private:
  static constexpr size_t piece = 128 << 10;
  std::unique_ptr<char[]> held_;
  size_t held_size_ = 0;
};

}  // namespace sim
