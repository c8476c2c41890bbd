#include "common/wait_for_path.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <new>

#include "common/os.h"
#include "common/unique_fd.h"

namespace {

constexpr size_t event_buffer_size = 4096;

bool path_exists(const char* path) { return os::access(path, F_OK) == 0; }

}  // namespace

int wait_for_path(const char* path, uint32_t timeout_ms) {
  unique_fd sock(os::socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT));
  if (!sock.ok() || sock.get() >= FD_SETSIZE) return -1;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[event_buffer_size]);
  if (!buffer) return -1;

  // Bound before the first look, so an event between that look and the first
  // wait stays queued and ends the wait at once.
  sockaddr_nl address;
  std::memset(&address, 0, sizeof address);
  address.nl_family = AF_NETLINK;
  address.nl_pid = static_cast<uint32_t>(os::getpid());
  address.nl_groups = 0xFFFFFFFFu;
  if (os::bind(sock.get(), reinterpret_cast<const sockaddr*>(&address),
               sizeof address) != 0) {
    return -1;
  }

  if (path_exists(path)) return 0;

  // One time value carried across the waits: the timeout bounds the call.
  timeval left;
  left.tv_sec = timeout_ms / 1000;
  left.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock.get(), &readable);
    if (os::select(sock.get() + 1, &readable, nullptr, nullptr,
                   timeout_ms == 0 ? nullptr : &left) != 1) {
      return -1;
    }
    if (os::recv(sock.get(), buffer.get(), event_buffer_size, MSG_DONTWAIT) <
        0) {
      return -1;
    }
    if (path_exists(path)) return 0;
  }
}
