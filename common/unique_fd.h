// Owned descriptors and directory handles: released on every path.
#pragma once

#include <cerrno>
#include <utility>

#include "common/os.h"

// A descriptor that closes itself. It neither copies nor converts to int, so
// an owned descriptor cannot be closed twice or leaked by accident.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }

  // Closing keeps errno: a failure being reported is not overwritten.
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      int saved = errno;
      os::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// An open directory listing that closes itself.
class unique_dir {
 public:
  explicit unique_dir(DIR* dir) : dir_(dir) {}
  unique_dir(const unique_dir&) = delete;
  unique_dir& operator=(const unique_dir&) = delete;
  ~unique_dir() {
    if (dir_ != nullptr) {
      int saved = errno;
      os::closedir(dir_);
      errno = saved;
    }
  }

  DIR* get() const { return dir_; }
  bool ok() const { return dir_ != nullptr; }

 private:
  DIR* dir_;
};
