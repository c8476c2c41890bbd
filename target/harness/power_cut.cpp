#include "target/harness/power_cut.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/ubi-user.h>
#include <sched.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "common/unique_fd.h"
#include "target/harness/kernel_log.h"

namespace {

constexpr char ubi_debugfs[] = "/sys/kernel/debug/ubi";
// Both kinds of header write: erase counter (1) and volume identifier (2).
constexpr char cut_both[] = "3";

bool write_knob(const std::string& path, const std::string& value) {
  std::ofstream knob(path);
  knob << value;
  knob.flush();
  return static_cast<bool>(knob);
}

// Arms every attached UBI device (the harness detaches them all between
// boots, so the one just attached is the only one).
bool arm(unsigned writes, std::string* failure) {
  unique_dir dir(opendir(ubi_debugfs));
  if (!dir.ok()) {
    *failure = std::string("no ") + ubi_debugfs + ": " + strerror(errno);
    return false;
  }
  bool armed = false;
  while (dirent* entry = readdir(dir.get())) {
    if (std::strncmp(entry->d_name, "ubi", 3) != 0) continue;
    std::string dir = std::string(ubi_debugfs) + "/" + entry->d_name;
    std::string knobs = dir + "/tst_emulate_power_cut";
    // UBI's background thread held: the erasures it would do in its own
    // time (a blank flash has a thousand) happen when a write needs a free
    // block, inside the process's own system call. Every header write then
    // belongs to one of its calls.
    if (!write_knob(dir + "/tst_disable_bgt", "1")) {
      *failure = "cannot hold " + dir + "'s background thread";
      return false;
    }
    // The kernel lets the first counted write through and then counts
    // down from the minimum: the cut falls on write writes + 1.
    std::string count = std::to_string(writes);
    if (!write_knob(knobs + "_min", count) ||
        !write_knob(knobs + "_max", count) || !write_knob(knobs, cut_both)) {
      *failure = "cannot arm " + knobs;
      return false;
    }
    armed = true;
  }
  if (!armed) *failure = "no attached UBI device to arm";
  return armed;
}

void set_policy(pid_t pid, int policy, int priority) {
  sched_param param{};
  param.sched_priority = priority;
  sched_setscheduler(pid, policy, &param);
}

// Power goes off for every process of the boot at once: the others first,
// while the first process is held at its stop, so that none of them runs on
// after it (the watchdog daemon would see its pipe close).
void power_off_boot(pid_t first) {
  char link[64], own[128], other[128];
  std::snprintf(link, sizeof link, "/proc/%d/ns/pid", static_cast<int>(first));
  ssize_t n = readlink(link, own, sizeof own - 1);
  unique_dir proc(opendir("/proc"));
  while (n > 0 && proc.ok()) {
    own[n] = '\0';
    dirent* entry = readdir(proc.get());
    if (entry == nullptr) break;
    pid_t pid = std::atoi(entry->d_name);
    if (pid <= 1 || pid == first) continue;
    std::snprintf(link, sizeof link, "/proc/%d/ns/pid", static_cast<int>(pid));
    ssize_t m = readlink(link, other, sizeof other - 1);
    if (m == n && std::memcmp(own, other, static_cast<size_t>(n)) == 0)
      kill(pid, SIGKILL);
  }
  kill(first, SIGKILL);
}

}  // namespace

int run_to_power_cut(pid_t pid, const PowerCut& plan,
                     const std::function<uint32_t()>& read_register,
                     const std::function<void(uint32_t)>& write_register,
                     bool* cut, std::string* failure) {
  *cut = false;
  KernelLog log;
  if (!log.ok()) *failure = std::string("/dev/kmsg: ") + strerror(errno);
  bool armed = false;      // counting header writes
  bool attaching = false;  // the syscall under way is an attach
  uint32_t before = read_register();
  bool started = false;  // past the exec's own stop
  set_policy(0, SCHED_FIFO, 2);
  struct Restore {
    ~Restore() { set_policy(0, SCHED_OTHER, 0); }
  } restore;
  for (;;) {
    int status;
    if (waitpid(pid, &status, 0) < 0) {
      if (errno == EINTR) continue;
      *failure = std::string("wait: ") + strerror(errno);
      return -1;
    }
    if (!WIFSTOPPED(status)) return status;
    int signal = WSTOPSIG(status);
    if (!started && signal == SIGTRAP) {
      // Stopped at its exec: from here on every system call stops it.
      started = true;
      ptrace(PTRACE_SETOPTIONS, pid, nullptr,
             PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
      ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
      continue;
    }
    if (signal != (SIGTRAP | 0x80)) {
      // A signal for the process: delivered.
      ptrace(PTRACE_SYSCALL, pid, nullptr, signal);
      continue;
    }
    bool end = armed && log.saw("emulating a power cut");
    __ptrace_syscall_info info{};
    if (!end && !armed &&
        ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof info, &info) > 0) {
      if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
        attaching = info.entry.nr == SYS_ioctl &&
                    static_cast<uint32_t>(info.entry.args[1]) == UBI_IOCATT;
        // UBI wakes its background thread as the attach ends. With the
        // process above it, and the harness above both, the thread gets no
        // time before the harness has held it: every erasure it would do
        // then happens inside the process's calls, counted alike in every
        // run.
        if (attaching) set_policy(pid, SCHED_FIFO, 1);
      } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && attaching) {
        attaching = false;
        if (!info.exit.is_error) {
          if (plan.writes == 0) {
            end = true;
          } else if (!arm(plan.writes, failure)) {
            kill(pid, SIGKILL);
          } else {
            armed = true;
          }
        }
        set_policy(pid, SCHED_OTHER, 0);
      }
    }
    if (end) {
      // Whatever the process did to the register since its last stop may
      // have come after the cut: it did not happen.
      write_register(before);
      *cut = true;
      power_off_boot(pid);
      ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
      continue;
    }
    before = read_register();
    ptrace(PTRACE_SYSCALL, pid, nullptr, nullptr);
  }
}
