#include "bootstrap/watchdog_link.h"

#include <signal.h>

#include <cstring>

#include "common/emit_line.h"
#include "common/os.h"
#include "common/progress.h"
#include "common/unique_fd.h"

namespace {

constexpr char daemon_path[] = "/usr/sbin/velnor-wdog";

struct WatchdogLink {
  pid_t child = -1;
  unique_fd write_end;
  int32_t budget = 0;  // the seconds of the last request
};
WatchdogLink watchdog;

// A request written after the daemon has gone must fail with EPIPE, not end
// the bootstrap. A handler (unlike SIG_IGN) is not inherited by the
// programs the bootstrap starts.
void survive_sigpipe() {
  static bool done = false;
  if (done) return;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  done = os::sigaction(SIGPIPE, &action, nullptr) == 0;
}

// A long step that moves (a package read, an image written or read back)
// has its budget sent again, without a line: only a step that stops moving
// for the whole budget is ended by the watchdog.
void renew_budget() {
  if (watchdog.child < 0 || watchdog.budget <= 0) return;
  int32_t seconds = watchdog.budget;
  if (os::write(watchdog.write_end.get(), &seconds, sizeof seconds) !=
      sizeof seconds) {
    emit_line(2, "Failed to reset watchdog: ", errno_text());
    watchdog.budget = 0;  // one line, not one for every block after
  }
}

}  // namespace

int watchdog_start() {
  if (watchdog.child >= 0) return 0;
  survive_sigpipe();
  int fds[2];
  if (os::pipe(fds) != 0) {
    emit_line(2, "Failed to open watchdog pipe: ", errno_text());
    return -1;
  }
  unique_fd read_end(fds[0]);
  unique_fd write_end(fds[1]);
  // The daemon starts with SIGTERM blocked until it has its handler, so a
  // stop that comes early still finds the watchdog armed and fed once more.
  // Blocked before the fork: the child has it blocked from its first step.
  sigset_t term, previous;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  os::sigprocmask(SIG_BLOCK, &term, &previous);
  pid_t child = os::fork();
  if (child == 0) {
    write_end.reset();
    os::dup2(read_end.get(), 0);
    if (read_end.get() != 0) read_end.reset();
    char* const argv[] = {const_cast<char*>(daemon_path), nullptr};
    char* const envp[] = {nullptr};
    os::execve(daemon_path, argv, envp);
    os::exit(255);
  }
  os::sigprocmask(SIG_SETMASK, &previous, nullptr);
  if (child < 0) {
    // No daemon counts as running: a later request tries again.
    emit_line(2, "Failed to start watchdog: ", errno_text());
    return 0;
  }
  watchdog.child = child;
  watchdog.write_end = std::move(write_end);
  set_progress_hook(renew_budget);
  return 0;
}

int watchdog_reset(int32_t seconds) {
  emit_line(1, "Resetting watchdog");
  if (watchdog_start() != 0) return -1;
  watchdog.budget = seconds;
  if (os::write(watchdog.write_end.get(), &seconds, sizeof seconds) !=
      sizeof seconds) {
    emit_line(2, "Failed to reset watchdog: ", errno_text());
  }
  return 0;
}

void watchdog_extend(int32_t seconds) {
  if (watchdog.budget <= 0) return;  // none asked, or the pipe failed
  watchdog.budget = seconds;
  renew_budget();
}

int watchdog_stop() {
  if (watchdog.child <= 0) return 0;
  os::kill(watchdog.child, SIGTERM);
  watchdog.write_end.reset();
  int status;
  while (os::wait4(watchdog.child, &status, 0, nullptr) < 0 && errno == EINTR) {
  }
  watchdog.child = -1;
  set_progress_hook(nullptr);
  return 0;
}
