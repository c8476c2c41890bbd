#include "sim/volume_buffers.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

bool write_all(int fd, iovec* parts, int count) {
  while (count > 0) {
    ssize_t w = ::writev(fd, parts, count);
    if (w <= 0) return false;
    for (auto done = static_cast<size_t>(w); count > 0; ++parts, --count) {
      if (done < parts->iov_len) {
        parts->iov_base = static_cast<char*>(parts->iov_base) + done;
        parts->iov_len -= done;
        break;
      }
      done -= parts->iov_len;
    }
  }
  return true;
}

}  // namespace

void ReadAhead::read(int fd, uint64_t at, uint64_t limit, char* out,
                     size_t count) {
  for (size_t done = 0; done < count;) {
    uint64_t from = at + done;
    if (from < pos_ || from >= pos_ + size_) {
      size_t want =
          static_cast<size_t>(std::min<uint64_t>(piece, limit - from));
      // Not zeroed first: the read fills it.
      if (!buffer_) buffer_.reset(new char[piece]);
      size_ = want;
      pos_ = from;
      ssize_t got =
          fd >= 0 ? ::pread(fd, buffer_.get(), want, static_cast<off_t>(from))
                  : 0;
      size_t held = got > 0 ? static_cast<size_t>(got) : 0;
      std::memset(buffer_.get() + held, 0xFF, want - held);
    }
    size_t n = static_cast<size_t>(
        std::min<uint64_t>(count - done, pos_ + size_ - from));
    std::memcpy(out + done, buffer_.get() + (from - pos_), n);
    done += n;
  }
}

bool WriteBatch::write(int fd, const char* data, size_t n, uint64_t received,
                       uint64_t total) {
  uint64_t end = received + n;
  uint64_t cut = end == total ? end : end / piece * piece;
  size_t taken = 0;
  if (cut > received - held_size_) {
    taken = static_cast<size_t>(cut - received);
    iovec parts[2] = {{held_.get(), held_size_},
                      {const_cast<char*>(data), taken}};
    if (!write_all(fd, parts, 2)) return false;
    held_size_ = 0;
  }
  if (taken == n) return true;
  if (!held_) held_.reset(new char[piece]);
  std::memcpy(held_.get() + held_size_, data + taken, n - taken);
  held_size_ += n - taken;
  return true;
}

void WriteBatch::flush(int fd) {
  if (fd >= 0 && held_size_ != 0) {
    iovec held{held_.get(), held_size_};
    (void)write_all(fd, &held, 1);
  }
  held_size_ = 0;
}

}  // namespace sim
