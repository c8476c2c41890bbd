#include "sim/state_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace sim {

HostFd::~HostFd() { reset(); }

void HostFd::reset(int f) {
  if (fd >= 0) ::close(fd);
  fd = f;
}

std::optional<std::string> read_state(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Not emptied first: a file system may write back at close whatever was
// written after a truncation to nothing (ext4 does), and a new file each
// time costs a new inode. Every writer holds the device's lock, as every
// reader of the state does, and a power cut (which kills processes under
// that lock) never lands inside a write.
void rewrite_file(const std::string& path, const std::string& text) {
  HostFd file{::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)};
  if (file.fd < 0) return;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::pwrite(file.fd, text.data() + done, text.size() - done,
                         static_cast<off_t>(done));
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  // Cut only when it was longer: a cut to the same length still costs the
  // file system a journalled change.
  struct stat st {};
  if (::fstat(file.fd, &st) != 0 || st.st_size > static_cast<off_t>(done))
    (void)!::ftruncate(file.fd, static_cast<off_t>(done));
}

}  // namespace sim
