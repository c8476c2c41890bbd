#include "common/sysfs.h"

#include <fcntl.h>

#include <cerrno>

#include "common/decimal.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/unique_fd.h"

namespace {

constexpr size_t path_limit = 4096;  // joined path, terminator included
constexpr size_t value_step = 256;
constexpr size_t value_limit = 2048;

// Opens directory/name read-only, reporting a failure. A path too long for
// the kernel's limit fails as the kernel would fail it.
unique_fd open_attr(const std::string& path) {
  if (path.size() >= path_limit) {
    errno = ENAMETOOLONG;
  } else {
    unique_fd fd(os::open(path.c_str(), O_RDONLY));
    if (fd.ok()) return fd;
  }
  emit_line(2, "Failed to open file ", path, " error: ", errno_text());
  return unique_fd();
}

std::string join(std::string_view directory, std::string_view name) {
  std::string path;
  path.reserve(directory.size() + 1 + name.size());
  path.append(directory).append("/").append(name);
  return path;
}

}  // namespace

std::optional<std::string> sysfs_read_string(std::string_view directory,
                                             std::string_view name) {
  std::string path = join(directory, name);
  unique_fd fd = open_attr(path);
  if (!fd.ok()) return std::nullopt;

  // The buffer grows by 256 bytes up to 2048; each read asks for its free
  // part, so a short attribute costs one read.
  char buffer[value_limit];
  size_t capacity = value_step;
  size_t used = 0;
  for (;;) {
    ssize_t got = os::read(fd.get(), buffer + used, capacity - used);
    if (got < 0) {
      emit_line(2, "Failed to read str from sysfs file ", path,
                " error: ", errno_text());
      return std::nullopt;
    }
    if (got == 0) return std::string(buffer, used);
    for (size_t end = used + static_cast<size_t>(got); used < end; ++used) {
      char c = buffer[used];
      if (c == '\0' || c == '\n' || c == '\r') return std::string(buffer, used);
    }
    if (used == capacity) {
      if (capacity == value_limit) return std::nullopt;
      capacity += value_step;
    }
  }
}

int sysfs_attr_is_zero(std::string_view directory, std::string_view name) {
  std::string path = join(directory, name);
  unique_fd fd = open_attr(path);
  if (!fd.ok()) return -1;
  char text[3];
  ssize_t got = os::read(fd.get(), text, sizeof text);
  if (got <= 0) {
    if (got == 0) errno = ENODATA;  // an empty attribute is no answer either
    emit_line(2, "Failed to read sysfs file ", path, " error: ", errno_text());
    return -1;
  }
  if (text[0] != '0') return 0;
  if (got == 1) return 1;
  return text[1] == '\n' || text[1] == '\r' || text[1] == '\0' ? 1 : 0;
}

int sysfs_read_int64(std::string_view directory, std::string_view name,
                     int64_t* result) {
  std::optional<std::string> text = sysfs_read_string(directory, name);
  if (!text) return -1;
  *result = 0;
  if (text->empty()) return -1;
  uint64_t number = 0;  // wraps like the kernel's own text would
  bool negative = false;
  bool digits = false;
  for (char c : *text) {
    if (c == '-' && number == 0) {
      negative = true;
    } else if (c >= '0' && c <= '9') {
      number = number * 10 + static_cast<uint64_t>(c - '0');
      digits = true;
    } else {
      break;
    }
  }
  *result = static_cast<int64_t>(negative ? 0 - number : number);
  return digits ? 0 : -1;
}

int sysfs_read_int(std::string_view directory, std::string_view name,
                   int32_t* result) {
  int64_t value;
  if (sysfs_read_int64(directory, name, &value) != 0) return -1;
  *result = static_cast<int32_t>(static_cast<uint32_t>(value));
  return 0;
}

int sysfs_read_devnum(std::string_view directory, uint32_t* result) {
  std::optional<std::string> text = sysfs_read_string(directory, "dev");
  if (!text) {
    emit_line(2, "dev_str is null");
    return -1;
  }
  uint32_t major;
  int count = parse_decimal(text->c_str(), &major);
  if (count == 0) {
    emit_line(2, "Failed to parse major number in ", directory, "/", "dev");
    return -1;
  }
  const char* rest = text->c_str() + count;
  uint32_t minor;
  if (*rest != ':' || parse_decimal(rest + 1, &minor) == 0) {
    emit_line(2, "Failed to parse minor number in ", directory, "/", "dev");
    return -1;
  }
  *result = encode_devnum(major, minor);
  return 0;
}

NodeMade make_node_from_sysfs(const char* path, std::string_view sysfs_dir,
                              unsigned mode) {
  uint32_t devnum;
  if (sysfs_read_devnum(sysfs_dir, &devnum) != 0) return NodeMade::no_number;
  if (os::mknod(path, mode, devnum) != 0) return NodeMade::no_node;
  return NodeMade::made;
}
