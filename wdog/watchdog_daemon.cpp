#include "wdog/watchdog_daemon.h"

#include <fcntl.h>
#include <linux/watchdog.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "boards/board.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/sysfs.h"

namespace {

constexpr int hardware_timeout_s = 10;
constexpr int poll_ms = 5000;

volatile sig_atomic_t running = 1;

void on_sigterm(int) { running = 0; }

void keepalive(int device) {
  static const char zero = 0;
  (void)!os::write(device, &zero, 1);
}

// The node is made from sysfs when it is not there (or not writable).
void make_node() {
  const char* device_path = device_board().watchdog_device;
  if (os::access(device_path, W_OK) == 0) return;
  switch (make_node_from_sysfs(device_path, device_board().watchdog_sysfs,
                               char_node_mode)) {
    case NodeMade::no_number:
      emit_line(2, "Failed to find watchdog sysfs entry");
      break;
    case NodeMade::no_node:
      emit_line(2, "Failed to create watchdog device");
      break;
    case NodeMade::made:
      break;
  }
}

// The bootstrap stops the daemon with SIGTERM and then closes the pipe. A
// signal sent to this process is taken, at the latest, when a system call
// that may block returns (a poll that does not wait is one), so after one
// more the flag tells a stop (silent) from a bootstrap that went away.
bool stopping() {
  pollfd none{-1, 0, 0};
  os::poll(&none, 1, 0);
  return !running;
}

void pipe_closed() {
  if (!stopping()) emit_line(2, "Watchdog pipe closed");
}

}  // namespace

int64_t monotonic_seconds() {
  timespec now;
  if (os::clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    emit_line(2, "Failed to get monotonic clock");
    return 0;
  }
  return now.tv_sec;
}

void feed_loop(int device) {
  bool limited = false;  // no deadline: feed without limit
  int64_t deadline = 0;
  while (running) {
    if (!limited || monotonic_seconds() < deadline) keepalive(device);
    pollfd pipe{0, POLLIN, 0};
    if (os::poll(&pipe, 1, poll_ms) <= 0) continue;
    // Data first: requests written just before a close are still read.
    if (pipe.revents & POLLIN) {
      int32_t period;
      ssize_t got = os::read(0, &period, sizeof period);
      if (got == 0) {  // end of file: the writer is gone
        pipe_closed();
        return;
      }
      if (got != sizeof period) {
        emit_line(2, "Failed to read from watchdog pipe");
      } else {
        limited = period > 0;
        deadline = monotonic_seconds() + period;
      }
    } else if (pipe.revents & (POLLERR | POLLHUP)) {
      pipe_closed();
      return;
    }
  }
}

int watchdog_daemon_main() {
  make_node();
  int device = os::open(device_board().watchdog_device, O_WRONLY);
  emit_line(1, "Starting watchdog process");
  if (device < 0) {
    emit_line(2, "Failed to open watchdog: ", errno_text());
    return 255;
  }
  struct sigaction term;
  std::memset(&term, 0, sizeof term);
  term.sa_handler = on_sigterm;
  sigemptyset(&term.sa_mask);
  os::sigaction(SIGTERM, &term, nullptr);
  // The bootstrap starts the daemon with SIGTERM blocked, so that a stop
  // sent before this point waits for the handler.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  os::sigprocmask(SIG_UNBLOCK, &blocked, nullptr);

  int options = WDIOS_ENABLECARD;
  if (os::ioctl(device, WDIOC_SETOPTIONS, &options) != 0) {
    emit_line(2, "Failed to enable watchdog");
  }
  int timeout = hardware_timeout_s;
  if (os::ioctl(device, WDIOC_SETTIMEOUT, &timeout) != 0) {
    emit_line(2, "Failed to settimeout: ", errno_text());
  }
  feed_loop(device);
  emit_line(1, "Stopping watchdog process");
  // The last keepalive; the device stays open, and armed, until exit.
  keepalive(device);
  return 0;
}
