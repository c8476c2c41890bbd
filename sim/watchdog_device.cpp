#include "sim/watchdog_device.h"

#include <linux/watchdog.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "sim/kernel_state.h"

namespace sim {
namespace {

constexpr uint32_t default_timeout_s = 10;  // the board's margin

void keepalive(KernelState& s) {
  SimWatchdog& w = s.watchdog;
  w.last_keepalive_ns = s.now_ns;
  w.recent[w.keepalives % 32] = s.now_ns;
  ++w.keepalives;
}

class Watchdog : public OpenDevice {
 public:
  // Closing without the magic character leaves it running.
  ~Watchdog() override {
    kernel_locked([](KernelState& s) {
      if (s.watchdog.open_pid != self_pid()) return;
      s.watchdog.open_pid = 0;
      if (s.watchdog.magic_close) s.watchdog.armed = 0;
    });
  }

  ssize_t write(const void* buffer, size_t count) override {
    if (count == 0) return 0;
    kernel_locked([&](KernelState& s) {
      s.watchdog.magic_close =
          std::memchr(buffer, 'V', count) != nullptr ? 1 : 0;
      const auto* bytes = static_cast<const unsigned char*>(buffer);
      for (size_t i = 0; i < count; ++i)
        s.watchdog.nonzero_bytes += bytes[i] != 0;
      keepalive(s);
    });
    return static_cast<ssize_t>(count);
  }

  ssize_t read(void*, size_t) override { return fail(EINVAL); }

  int ioctl(unsigned long request, void* arg) override {
    int rc = 0;
    kernel_locked([&](KernelState& s) {
      SimWatchdog& w = s.watchdog;
      int* value = static_cast<int*>(arg);
      switch (request) {
        case WDIOC_SETOPTIONS:
          if (*value & WDIOS_DISABLECARD) {
            w.armed = 0;
          } else if (*value & WDIOS_ENABLECARD) {
            w.armed = 1;
            keepalive(s);
          } else {
            rc = fail(EINVAL);
          }
          break;
        case WDIOC_SETTIMEOUT:
          if (*value < 1 || *value > 65535) {
            rc = fail(EINVAL);
            break;
          }
          w.timeout_s = static_cast<uint32_t>(*value);
          keepalive(s);
          break;
        case WDIOC_GETTIMEOUT:
          *value = static_cast<int>(w.timeout_s);
          break;
        case WDIOC_KEEPALIVE:
          keepalive(s);
          break;
        default:
          rc = fail(ENOTTY);
      }
    });
    return rc;
  }
};

}  // namespace

std::unique_ptr<OpenDevice> open_watchdog(int) {
  bool busy = false;
  kernel_locked([&](KernelState& s) {
    SimWatchdog& w = s.watchdog;
    if (w.open_pid != 0 && ::kill(w.open_pid, 0) == 0) {
      busy = true;
      return;
    }
    // Opening starts the watchdog.
    w.open_pid = self_pid();
    w.magic_close = 0;
    if (w.timeout_s == 0) w.timeout_s = default_timeout_s;
    w.armed = 1;
    w.fired = 0;
    keepalive(s);
  });
  if (busy) {
    errno = EBUSY;
    return nullptr;
  }
  return std::make_unique<Watchdog>();
}

}  // namespace sim
