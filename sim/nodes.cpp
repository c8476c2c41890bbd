#include "sim/nodes.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {
namespace {

constexpr char magic[] = "velnor-sim node ";
constexpr size_t magic_length = sizeof magic - 1;
constexpr off_t max_node_size = 64;

std::optional<NodeId> parse(const char* text, size_t length) {
  if (length <= magic_length || std::memcmp(text, magic, magic_length) != 0) {
    return std::nullopt;
  }
  std::string rest(text + magic_length, length - magic_length);
  char kind = 0;
  unsigned major = 0, minor = 0;
  if (std::sscanf(rest.c_str(), "%c %u:%u", &kind, &major, &minor) != 3) {
    return std::nullopt;
  }
  if (kind != 'c' && kind != 'b') return std::nullopt;
  return NodeId{static_cast<mode_t>(kind == 'c' ? S_IFCHR : S_IFBLK), major,
                minor};
}

std::optional<NodeId> read_open(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || !may_be_node(st)) return std::nullopt;
  char text[max_node_size];
  ssize_t got = ::pread(fd, text, sizeof text, 0);
  if (got <= 0) return std::nullopt;
  return parse(text, static_cast<size_t>(got));
}

}  // namespace

int make_node(const std::string& host_path, mode_t mode, dev_t dev) {
  int fd = ::open(host_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  mode & 07777);
  if (fd < 0) return -1;
  char text[max_node_size];
  int length =
      std::snprintf(text, sizeof text, "%s%c %u:%u\n", magic,
                    S_ISCHR(mode) ? 'c' : 'b', ::major(dev), ::minor(dev));
  ssize_t put = ::write(fd, text, static_cast<size_t>(length));
  ::close(fd);
  return put == length ? 0 : -1;
}

bool may_be_node(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_size <= max_node_size;
}

std::optional<NodeId> read_node(const std::string& host_path) {
  struct stat st;
  if (::lstat(host_path.c_str(), &st) != 0 || !may_be_node(st)) {
    return std::nullopt;
  }
  int fd = ::open(host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return std::nullopt;
  int saved = errno;
  std::optional<NodeId> id = read_open(fd);
  ::close(fd);
  errno = saved;
  return id;
}

std::optional<NodeId> read_node_fd(int fd) { return read_open(fd); }

void present_node(struct stat* st, const NodeId& id) {
  st->st_mode = (st->st_mode & 07777) | id.type;
  st->st_rdev = ::makedev(id.major, id.minor);
  st->st_size = 0;
}

}  // namespace sim
