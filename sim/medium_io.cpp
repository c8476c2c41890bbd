#include "sim/medium_io.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>

#include "sim/sim.h"

namespace sim {
namespace {

// Never destroyed: descriptors still open at exit are closed by the host.
std::map<int, MediumFile>& open_files = *new std::map<int, MediumFile>;

uint64_t medium_used(Medium m) {
  uint64_t used = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(
           medium_files(device_dir(), m), ec);
       !ec && it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_regular_file(ec)) used += it->file_size(ec);
  }
  return used;
}

}  // namespace

void medium_file_opened(int fd, uint32_t dev) {
  open_files.erase(fd);
  if (std::optional<Medium> m = medium_of_mount(dev)) {
    MediumFile f{*m, medium_get(device_dir(), *m)};
    // What the medium holds is counted once, when a file is opened (after a
    // truncation the open made); the writes through it add to it.
    if (f.state.capacity != 0) f.used = medium_used(*m);
    open_files[fd] = f;
  }
}

void medium_file_closed(int fd) { open_files.erase(fd); }

MediumFile* medium_file(int fd) {
  auto it = open_files.find(fd);
  return it == open_files.end() ? nullptr : &it->second;
}

ssize_t medium_read(int fd, MediumFile& f, void* buf, size_t count) {
  const MediumState& s = f.state;
  if (s.removed_after != 0 && f.given >= s.removed_after) {
    errno = EIO;  // the medium has gone
    return -1;
  }
  off_t pos = ::lseek(fd, 0, SEEK_CUR);
  if (s.read_error_at != 0 && pos >= 0) {
    auto at = static_cast<uint64_t>(pos);
    if (at >= s.read_error_at) {
      errno = EIO;  // a bad sector
      return -1;
    }
    count =
        static_cast<size_t>(std::min<uint64_t>(count, s.read_error_at - at));
  }
  if (s.removed_after != 0) {
    count = static_cast<size_t>(
        std::min<uint64_t>(count, s.removed_after - f.given));
  }
  ssize_t n = ::read(fd, buf, count);
  if (n > 0) f.given += static_cast<uint64_t>(n);
  if (n > 0 && s.reread_differs_at != 0 && pos >= 0 &&
      static_cast<uint64_t>(pos) <= s.reread_differs_at &&
      s.reread_differs_at < static_cast<uint64_t>(pos) + n &&
      ++f.reads_at >= 2) {
    // A multiple of the CRC-32 polynomial: the CRC cannot tell.
    static const unsigned char same_crc[5] = {0x41, 0x06, 0x71, 0xdb, 0x01};
    auto* bytes = static_cast<unsigned char*>(buf);
    for (uint64_t i = 0; i < 5; ++i) {
      uint64_t at = s.reread_differs_at + i - static_cast<uint64_t>(pos);
      if (at < static_cast<uint64_t>(n)) bytes[at] ^= same_crc[i];
    }
  }
  return n;
}

ssize_t medium_write(int fd, MediumFile& f, const void* buf, size_t count) {
  const MediumState& s = f.state;
  if (s.removed_after != 0 && f.given >= s.removed_after) {
    errno = EIO;
    return -1;
  }
  if (s.capacity != 0) {
    uint64_t room = f.used < s.capacity ? s.capacity - f.used : 0;
    if (room == 0) {
      errno = ENOSPC;
      return -1;
    }
    count = static_cast<size_t>(std::min<uint64_t>(count, room));
  }
  ssize_t n = ::write(fd, buf, count);
  if (n > 0) f.used += static_cast<uint64_t>(n);
  return n;
}

}  // namespace sim
