#include "common/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/progress.h"
#include "common/unique_fd.h"

namespace {

constexpr size_t copy_chunk = 4096;

int copy_link(const char* source, const std::string& target, off_t size) {
  std::string text(static_cast<size_t>(size) + 1, '\0');
  ssize_t got = os::readlink(source, text.data(), text.size());
  if (got < 0) {
    emit_line(2, "Failed to readlink ", source, ": ", errno_text());
    return -1;
  }
  text.resize(static_cast<size_t>(got));
  if (os::symlink(text.c_str(), target.c_str()) != 0) {
    emit_line(2, "Failed to recreate link: ", errno_text());
    return -1;
  }
  return 0;
}

int copy_regular(const char* source, const std::string& target) {
  unique_fd in(os::open(source, O_RDONLY));
  if (!in.ok()) {
    emit_line(2, "Failed to open ", source, ": ", errno_text());
    return -1;
  }
  // Opening the target truncates it: when it is the source itself (the
  // same file reached by another name) that would empty the source.
  struct stat from, to;
  if (os::stat(source, &from) == 0 && os::stat(target.c_str(), &to) == 0 &&
      from.st_dev == to.st_dev && from.st_ino == to.st_ino) {
    emit_line(2, "Can't copy a file onto itself: ", source);
    return -1;
  }
  // A new file of its own, never one a name on the medium leads to: what
  // was left there by a copy cut short goes first (a link named so is
  // removed, not followed).
  const std::string fresh = target + ".new";
  os::unlink(fresh.c_str());
  unique_fd out(
      os::open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666));
  if (!out.ok()) {
    emit_line(2, "Failed to open ", target, ": ", errno_text());
    return -1;
  }
  auto give_up = [&] {
    int error = errno;
    out.reset();
    os::unlink(fresh.c_str());
    errno = error;
    return -1;
  };
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[copy_chunk]);
  if (!buffer) {
    errno = ENOMEM;
    emit_line(2, "Failed to read: ", errno_text());
    return give_up();
  }
  for (;;) {
    ssize_t got = os::read(in.get(), buffer.get(), copy_chunk);
    if (got == 0) break;
    if (got < 0) {
      emit_line(2, "Failed to read: ", errno_text());
      return give_up();
    }
    ssize_t put = os::write(out.get(), buffer.get(), static_cast<size_t>(got));
    if (put != got) {
      // A short write without an error means the medium is full.
      if (put >= 0) errno = ENOSPC;
      emit_line(2, "Failed to write: ", errno_text());
      return give_up();
    }
    note_progress(static_cast<size_t>(got));
  }
  if (os::close(out.release()) != 0) {
    emit_line(2, "Failed to write: ", errno_text());
    return give_up();
  }
  if (os::rename(fresh.c_str(), target.c_str()) != 0) {
    emit_line(2, "Failed to rename ", fresh, ": ", errno_text());
    return give_up();
  }
  return 0;
}

bool is_directory(const char* path) {
  struct stat st;
  return os::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int copy_file(const char* source, const char* destination) {
  const char* slash = std::strrchr(source, '/');
  const char* name = slash != nullptr ? slash + 1 : source;
  if (*name == '\0' && slash != nullptr) {
    emit_line(2, "Can't use copy_file on a directory: ", source);
    return -1;
  }
  std::string target = destination;
  if (is_directory(destination)) target.append("/").append(name);

  struct stat st;
  if (os::lstat(source, &st) != 0) {
    emit_line(2, "Failed to stat: ", source);
    return -1;
  }
  if (S_ISLNK(st.st_mode)) return copy_link(source, target, st.st_size);
  if (S_ISREG(st.st_mode)) return copy_regular(source, target);
  return 0;
}

namespace {

// One step of make_dirs: an existing directory is fine, anything else that
// exists is an error, and what cannot be examined is created.
int make_one_dir(const std::string& whole, const std::string& prefix,
                 mode_t mode) {
  struct stat st;
  int found = os::stat(prefix.c_str(), &st);
  if (found == 0 && S_ISDIR(st.st_mode)) return 0;
  // A prefix keeps its trailing "/", so a file there fails with ENOTDIR.
  if (found == 0 || errno == ENOTDIR) {
    emit_line(2, "Can't create ", whole, ", ", prefix, " is not a directory");
    return -1;
  }
  if (os::mkdir(prefix.c_str(), mode) != 0) {
    emit_line(2, "Failed to create ", prefix);
    return -1;
  }
  return 0;
}

}  // namespace

int make_dirs(const char* path, mode_t mode) {
  if (path == nullptr || *path == '\0') return -1;
  const std::string whole = path;
  // Each prefix that ends just after a "/" (the root is never created), then
  // the whole path unless it ends with "/".
  for (size_t slash = whole.find('/', 1); slash != std::string::npos;
       slash = whole.find('/', slash + 1)) {
    if (make_one_dir(whole, whole.substr(0, slash + 1), mode) != 0) return -1;
  }
  if (whole.back() != '/' && make_one_dir(whole, whole, mode) != 0) return -1;
  return 0;
}

int remove_dir_contents(const char* directory) {
  unique_dir dir(os::opendir(directory));
  if (!dir.ok()) return -1;
  std::string path = directory;
  path.append("/");
  const size_t base = path.size();
  while (struct dirent* entry = os::readdir(dir.get())) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    path.resize(base);
    path.append(name, strnlen(name, 255));
    struct stat st;
    if (os::lstat(path.c_str(), &st) != 0) return -1;
    if (S_ISDIR(st.st_mode)) {
      if (remove_dir_contents(path.c_str()) != 0) return -1;
      os::rmdir(path.c_str());
    } else {
      os::unlink(path.c_str());
    }
  }
  return 0;
}

int remove_path(const char* path) {
  struct stat st;
  if (os::lstat(path, &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) return os::unlink(path) == 0 ? 0 : -1;
  if (remove_dir_contents(path) != 0) return -1;
  return os::rmdir(path) == 0 ? 0 : -1;
}
