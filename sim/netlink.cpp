#include "sim/netlink.h"

#include <linux/netlink.h>
#include <sys/socket.h>

#include <cstring>

namespace sim {
namespace {

class UeventSocket : public OpenDevice {
 public:
  int bind(const void* address, size_t length) override {
    if (length < sizeof(sockaddr_nl) ||
        static_cast<const sockaddr_nl*>(address)->nl_family != AF_NETLINK) {
      return fail(EINVAL);
    }
    if (bound_) return fail(EINVAL);
    bound_ = true;
    kernel_locked([&](KernelState& s) { cursor_ = s.event_seq; });
    return 0;
  }

  bool readable(const KernelState& s) override {
    return bound_ && s.event_seq > cursor_;
  }

  ssize_t recv(void* buffer, size_t count, int flags) override {
    ssize_t result = -1;
    auto take = [&](const KernelState& s) {
      if (s.event_seq - cursor_ >= event_ring) {
        // Fell behind the ring: the kernel drops events and says so once.
        cursor_ = s.event_seq - event_ring + 1;
        errno = ENOBUFS;
        result = -1;
        return;
      }
      const SimEvent& e = s.events[(cursor_ + 1) % event_ring];
      size_t n = e.length < count ? e.length : count;
      std::memcpy(buffer, e.text, n);
      ++cursor_;
      result = static_cast<ssize_t>(n);
    };
    bool ready = false;
    kernel_locked([&](KernelState& s) {
      if (readable(s)) {
        ready = true;
        take(s);
      }
    });
    if (ready) return result;
    if (flags & MSG_DONTWAIT) return fail(EAGAIN);
    // A blocking receive waits for the next event.
    if (kernel_block(never, [&](const KernelState& s) {
          return readable(s);
        }) == Wake::interrupted) {
      return fail(EINTR);
    }
    kernel_locked([&](KernelState& s) { take(s); });
    return result;
  }

  ssize_t read(void* buffer, size_t count) override {
    return recv(buffer, count, 0);
  }

 private:
  bool bound_ = false;
  uint64_t cursor_ = 0;
};

}  // namespace

std::unique_ptr<OpenDevice> open_uevent_socket() {
  return std::make_unique<UeventSocket>();
}

}  // namespace sim
