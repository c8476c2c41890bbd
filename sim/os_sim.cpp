// The kernel seam on the simulated device: device paths resolve inside the
// device directory, device nodes open their models, time is the device's.
#include <fcntl.h>
#include <linux/netlink.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/reboot.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/os.h"
#include "sim/board.h"
#include "sim/call_log.h"
#include "sim/exec_on_device.h"
#include "sim/kernel_state.h"
#include "sim/medium_io.h"
#include "sim/model_files.h"
#include "sim/netlink.h"
#include "sim/nodes.h"
#include "sim/open_device.h"
#include "sim/signals.h"
#include "sim/sim.h"

using sim::note_call;

namespace {

bool capturing = false;
std::vector<sim::ConsoleWrite> captured;
std::optional<bool> console_terminal;

std::optional<sim::Resolved> resolve(const char* path,
                                     bool follow_last = true) {
  if (path == nullptr) {
    errno = EFAULT;
    return std::nullopt;
  }
  if (*path == '\0') {
    errno = ENOENT;
    return std::nullopt;
  }
  if (sim::device_root().empty()) {
    errno = ENODEV;  // no device attached: nothing to act on
    return std::nullopt;
  }
  return sim::resolve_path(path, follow_last);
}

// A change to a file system mounted read-only.
bool read_only(const std::optional<sim::Resolved>& r) {
  if (r && r->readonly) {
    errno = EROFS;
    return true;
  }
  return false;
}

// A host stat of a node file, shown as the node it stands for.
void present_if_node(struct stat* st, const std::string& host) {
  if (!sim::may_be_node(*st)) return;
  if (std::optional<sim::NodeId> node = sim::read_node(host)) {
    sim::present_node(st, *node);
  }
}

void present_mount(struct stat* st, const sim::Resolved& r) {
  st->st_dev = static_cast<dev_t>(r.dev);
}

// An injected failure of this call, or 0.
int injected(const char* call, const std::string& path) {
  int error = 0;
  sim::kernel_locked([&](sim::KernelState& s) {
    for (sim::SimFault& f : s.faults) {
      if (!f.used || std::strcmp(f.call, call) != 0 ||
          (f.path[0] != '\0' && path != f.path)) {
        continue;
      }
      if (++f.seen == f.nth) error = f.error;
    }
  });
  return error;
}

bool fails(const char* call, const std::string& path) {
  if (sim::device_dir().empty()) return false;
  // Most calls run with no fault set: look without the lock first.
  bool any = false;
  for (const sim::SimFault& f : sim::kernel_state().faults) any |= f.used != 0;
  if (!any) return false;
  int error = injected(call, path);
  while (error == sim::fault_hang) {
    timespec day{86400, 0};
    os::nanosleep(&day, nullptr);
  }
  errno = error;
  return error != 0;
}

// sysfs attributes opened for writing, by descriptor: a write stores the
// value whole, and some attributes make the kernel act.
std::map<int, std::string>& sysfs_writers = *new std::map<int, std::string>;

uint64_t to_ns(const timespec& ts) {
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u +
         static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t deadline_after(uint64_t ns) {
  uint64_t now = sim::now_ns();
  return ns > sim::never - now ? sim::never : now + ns;
}

// Descriptors another process of the device may be waiting on.
void note_activity(int fd) {
  if (fd > 2) sim::kernel_activity();
}

// Host descriptors that are ready now, for select and poll.
short host_ready(int fd, short events) {
  pollfd p{fd, events, 0};
  if (::poll(&p, 1, 0) < 0) return 0;
  return p.revents;
}

}  // namespace

namespace sim {

void capture_console(bool on) { capturing = on; }
const std::vector<ConsoleWrite>& console_writes() { return captured; }
void clear_console() { captured.clear(); }
void set_console_terminal(std::optional<bool> terminal) {
  console_terminal = terminal;
}

}  // namespace sim

namespace os {

int open(const char* path, int flags, mode_t mode) {
  note_call("open", path);
  if (path != nullptr && fails("open", path)) return -1;
  std::optional<sim::Resolved> r = resolve(path, !(flags & O_NOFOLLOW));
  if (!r) return -1;
  // sysfs holds attributes and directories, never a device node.
  bool sysfs = r->device.compare(0, 5, "/sys/") == 0;
  std::optional<sim::NodeId> node;
  if (!sysfs) node = sim::read_node(r->host);
  if (node) {
    if ((flags & O_CREAT) && (flags & O_EXCL)) {
      errno = EEXIST;
      return -1;
    }
    std::unique_ptr<sim::OpenDevice> device = sim::open_node(*node, flags);
    if (!device) return -1;
    return sim::model_hold(std::move(device), node);
  }
  bool writes =
      (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC));
  if (writes && read_only(r)) return -1;
  // A sysfs attribute takes each write as its whole new value.
  if (sysfs && (flags & O_ACCMODE) != O_RDONLY) flags |= O_TRUNC;
  int fd = ::open(r->host.c_str(), flags, mode);
  if (fd >= 0 && sysfs && (flags & O_ACCMODE) != O_RDONLY) {
    sysfs_writers[fd] = r->device;
  }
  if (fd >= 0) sim::medium_file_opened(fd, r->dev);
  return fd;
}

ssize_t read(int fd, void* buf, size_t count) {
  note_call("read");
  if (sim::OpenDevice* d = sim::model(fd)) return d->read(buf, count);
  if (sim::MediumFile* on_medium = sim::medium_file(fd)) {
    return sim::medium_read(fd, *on_medium, buf, count);
  }
  return ::read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count) {
  note_call("write");
  if ((fd == 1 || fd == 2) && capturing) {
    captured.push_back({fd, std::string(static_cast<const char*>(buf), count)});
    return static_cast<ssize_t>(count);
  }
  if (fd > 2 && fails("write", "")) return -1;
  // A write the kernel takes only in part keeps the first half.
  if (fd > 2 && count > 1 && fails("short-write", "")) count /= 2;
  if (sim::OpenDevice* d = sim::model(fd)) return d->write(buf, count);
  if (sim::MediumFile* on_medium = sim::medium_file(fd)) {
    return sim::medium_write(fd, *on_medium, buf, count);
  }
  auto attribute = sysfs_writers.find(fd);
  if (attribute != sysfs_writers.end()) {
    // One write is the whole value: the kernel's store.
    if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0) return -1;
    ssize_t n = ::write(fd, buf, count);
    int saved = errno;
    if (n > 0) sim::led_attribute_written(attribute->second);
    errno = saved;
    return n;
  }
  ssize_t n = ::write(fd, buf, count);
  int saved = errno;
  note_activity(fd);
  errno = saved;
  return n;
}

int close(int fd) {
  note_call("close");
  sysfs_writers.erase(fd);
  sim::medium_file_closed(fd);
  if (!sim::model_forget(fd)) {
    int rc = ::close(fd);
    int saved = errno;
    note_activity(fd);
    errno = saved;
    return rc;
  }
  return ::close(fd);
}

off_t lseek(int fd, off_t offset, int whence) {
  note_call("lseek");
  if (sim::OpenDevice* d = sim::model(fd)) return d->lseek(offset, whence);
  return ::lseek(fd, offset, whence);
}

int stat(const char* path, struct stat* st) {
  note_call("stat", path);
  if (path != nullptr && fails("stat", path)) return -1;
  std::optional<sim::Resolved> r = resolve(path);
  if (!r || ::stat(r->host.c_str(), st) != 0) return -1;
  present_if_node(st, r->host);
  present_mount(st, *r);
  return 0;
}

int lstat(const char* path, struct stat* st) {
  note_call("lstat", path);
  std::optional<sim::Resolved> r = resolve(path, false);
  if (!r || ::lstat(r->host.c_str(), st) != 0) return -1;
  present_if_node(st, r->host);
  present_mount(st, *r);
  return 0;
}

int fstat(int fd, struct stat* st) {
  note_call("fstat");
  if (::fstat(fd, st) != 0) return -1;
  if (const sim::ModelFile* held = sim::model_file(fd)) {
    if (held->node) {
      sim::present_node(st, *held->node);
    } else {
      st->st_mode = S_IFSOCK | 0777;
      st->st_rdev = 0;
    }
  } else if (sim::may_be_node(*st)) {
    if (std::optional<sim::NodeId> node = sim::read_node_fd(fd)) {
      sim::present_node(st, *node);
    }
  }
  return 0;
}

int access(const char* path, int mode) {
  note_call("access", path);
  std::optional<sim::Resolved> r = resolve(path);
  if (!r) return -1;
  if ((mode & W_OK) && r->readonly && ::access(r->host.c_str(), F_OK) == 0) {
    errno = EROFS;
    return -1;
  }
  return ::access(r->host.c_str(), mode);
}

int mknod(const char* path, mode_t mode, dev_t dev) {
  note_call("mknod", path);
  std::optional<sim::Resolved> r = resolve(path, false);
  if (!r || read_only(r)) return -1;
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    // The node file gets the permissions a real node would: umask applied.
    return sim::make_node(r->host, mode, dev);
  }
  return ::mknod(r->host.c_str(), mode, dev);
}

int mount(const char* source, const char* target, const char* fstype,
          unsigned long flags, const void*) {
  note_call("mount", target);
  if (target != nullptr && fails("mount", target)) return -1;
  return sim::board_mount(source, target, fstype, flags);
}

int umount2(const char* target, int) {
  note_call("umount2", target);
  if (target != nullptr && fails("umount2", target)) return -1;
  return sim::board_umount(target);
}

int ioctl(int fd, unsigned long request, void* arg) {
  note_call("ioctl");
  if (fails("ioctl", "")) return -1;
  if (sim::OpenDevice* d = sim::model(fd)) return d->ioctl(request, arg);
  return ::ioctl(fd, request, arg);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd,
           off_t offset) {
  note_call("mmap");
  if (fails("mmap", "")) return MAP_FAILED;
  if (sim::OpenDevice* d = sim::model(fd))
    return d->mmap(length, prot, flags, offset);
  return ::mmap(addr, length, prot, flags, fd, offset);
}

int munmap(void* addr, size_t length) {
  note_call("munmap");
  return ::munmap(addr, length);
}

pid_t fork() {
  note_call("fork");
  if (fails("fork", "")) return -1;
  pid_t child = ::fork();
  if (child > 0) {
    // Counted as running from the start, before it has looked at the clock.
    sim::kernel_locked([&](sim::KernelState&) { sim::kernel_register(child); });
  } else if (child == 0) {
    // The child's log holds its own calls, not its parent's before the fork.
    sim::call_log_forget();
  }
  return child;
}

int execve(const char* path, char* const argv[], char* const envp[]) {
  note_call("execve", path);
  std::optional<sim::Resolved> resolved = resolve(path);
  if (!resolved) return -1;
  sim::write_call_log();
  return sim::exec_on_device(resolved->host, path, argv, envp);
}

pid_t wait4(pid_t pid, int* status, int options, struct rusage* usage) {
  note_call("wait4");
  if (fails("wait4", "")) return -1;
  bool blocking = !(options & WNOHANG);
  if (blocking) sim::kernel_mark_blocked(true, pid);
  pid_t result = ::wait4(pid, status, options, usage);
  int saved = errno;
  if (blocking) sim::kernel_mark_blocked(false);
  if (result > 0) {
    sim::kernel_locked([&](sim::KernelState&) { sim::kernel_forget(result); });
  }
  errno = saved;
  return result;
}

void exit(int status) {
  note_call("exit");
  sim::write_call_log();
  ::_exit(status);
}
pid_t getpid() {
  note_call("getpid");
  return sim::self_pid();
}
int pipe(int fds[2]) {
  note_call("pipe");
  if (fails("pipe", "")) return -1;
  return ::pipe(fds);
}

int dup2(int oldfd, int newfd) {
  note_call("dup2");
  int result = ::dup2(oldfd, newfd);
  if (result < 0 || oldfd == newfd) return result;
  sim::model_dup(oldfd, newfd);
  return result;
}

int kill(pid_t pid, int sig) {
  note_call("kill");
  // Only single processes of the device: a process group or "every process"
  // would reach the workstation's own.
  if (pid <= 0) {
    errno = EPERM;
    return -1;
  }
  int rc = ::kill(pid, sig);
  int saved = errno;
  sim::kernel_activity();
  errno = saved;
  return rc;
}

int sigprocmask(int how, const sigset_t* set, sigset_t* old) {
  note_call("sigprocmask");
  return ::sigprocmask(how, set, old);
}

int sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
  note_call("sigaction");
  return sim::install_handler(sig, act, old);
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
           struct timeval* timeout) {
  note_call("select");
  if (nfds < 0 || nfds > FD_SETSIZE ||
      (timeout != nullptr && (timeout->tv_sec < 0 || timeout->tv_usec < 0 ||
                              timeout->tv_usec >= 1000000))) {
    errno = EINVAL;
    return -1;
  }
  fd_set want_read, want_write;
  FD_ZERO(&want_read);
  FD_ZERO(&want_write);
  if (readfds != nullptr) want_read = *readfds;
  if (writefds != nullptr) want_write = *writefds;
  for (int fd = 0; fd < nfds; ++fd) {
    if ((FD_ISSET(fd, &want_read) || FD_ISSET(fd, &want_write)) &&
        sim::model(fd) == nullptr && (host_ready(fd, 0) & POLLNVAL)) {
      errno = EBADF;
      return -1;
    }
  }

  fd_set got_read, got_write;
  int count = 0;
  auto check = [&](const sim::KernelState& s) {
    FD_ZERO(&got_read);
    FD_ZERO(&got_write);
    count = 0;
    for (int fd = 0; fd < nfds; ++fd) {
      sim::OpenDevice* d = sim::model(fd);
      if (FD_ISSET(fd, &want_read) &&
          (d != nullptr ? d->readable(s)
                        : (host_ready(fd, POLLIN) &
                           (POLLIN | POLLHUP | POLLERR)) != 0)) {
        FD_SET(fd, &got_read);
        ++count;
      }
      if (FD_ISSET(fd, &want_write) &&
          (d != nullptr ||
           (host_ready(fd, POLLOUT) & (POLLOUT | POLLERR)) != 0)) {
        FD_SET(fd, &got_write);
        ++count;
      }
    }
    return count > 0;
  };
  uint64_t start = sim::now_ns();
  uint64_t limit = timeout == nullptr
                       ? sim::never
                       : static_cast<uint64_t>(timeout->tv_sec) * 1000000000u +
                             static_cast<uint64_t>(timeout->tv_usec) * 1000u;
  uint64_t deadline = limit == sim::never ? sim::never : start + limit;
  sim::Wake wake = sim::kernel_block(deadline, check);
  bool ready = wake == sim::Wake::ready;
  if (timeout != nullptr) {
    // As Linux does: the time left is written back.
    uint64_t spent = sim::now_ns() - start;
    uint64_t left = spent >= limit ? 0 : limit - spent;
    timeout->tv_sec = static_cast<time_t>(left / 1000000000u);
    timeout->tv_usec = static_cast<suseconds_t>(left % 1000000000u / 1000u);
  }
  if (wake == sim::Wake::interrupted) {
    errno = EINTR;
    return -1;
  }
  if (!ready) count = 0;
  if (readfds != nullptr) *readfds = ready ? got_read : fd_set{};
  if (writefds != nullptr) *writefds = ready ? got_write : fd_set{};
  if (exceptfds != nullptr) FD_ZERO(exceptfds);
  return count;
}

int poll(struct pollfd* fds, nfds_t nfds, int timeout_ms) {
  note_call("poll");
  int count = 0;
  auto check = [&](const sim::KernelState& s) {
    count = 0;
    for (nfds_t i = 0; i < nfds; ++i) {
      pollfd& p = fds[i];
      p.revents = 0;
      if (p.fd < 0) continue;
      if (sim::OpenDevice* d = sim::model(p.fd)) {
        if ((p.events & POLLIN) && d->readable(s)) p.revents |= POLLIN;
        if (p.events & POLLOUT) p.revents |= POLLOUT;
      } else {
        p.revents = host_ready(p.fd, p.events);
      }
      if (p.revents != 0) ++count;
    }
    return count > 0;
  };
  uint64_t deadline =
      timeout_ms < 0
          ? sim::never
          : deadline_after(static_cast<uint64_t>(timeout_ms) * 1000000u);
  switch (sim::kernel_block(deadline, check)) {
    case sim::Wake::ready:
      return count;
    case sim::Wake::deadline:
      return 0;
    case sim::Wake::interrupted:
      break;
  }
  errno = EINTR;
  return -1;
}

int clock_gettime(clockid_t clock, struct timespec* ts) {
  note_call("clock_gettime");
  if (fails("clock_gettime", "")) return -1;
  switch (clock) {
    case CLOCK_MONOTONIC:
    case CLOCK_MONOTONIC_RAW:
    case CLOCK_MONOTONIC_COARSE:
    case CLOCK_BOOTTIME: {
      uint64_t now = sim::now_ns();
      ts->tv_sec = static_cast<time_t>(now / 1000000000u);
      ts->tv_nsec = static_cast<long>(now % 1000000000u);
      return 0;
    }
    default:
      return ::clock_gettime(clock, ts);
  }
}

int nanosleep(const struct timespec* request, struct timespec* remain) {
  note_call("nanosleep");
  if (request->tv_sec < 0 || request->tv_nsec < 0 ||
      request->tv_nsec >= 1000000000) {
    errno = EINVAL;
    return -1;
  }
  uint64_t deadline = deadline_after(to_ns(*request));
  if (sim::kernel_block(deadline, [](const sim::KernelState&) {
        return false;
      }) == sim::Wake::interrupted) {
    if (remain != nullptr) {
      uint64_t left = deadline - sim::now_ns();
      remain->tv_sec = static_cast<time_t>(left / 1000000000u);
      remain->tv_nsec = static_cast<long>(left % 1000000000u);
    }
    errno = EINTR;
    return -1;
  }
  if (remain != nullptr) *remain = timespec{};
  return 0;
}

int socket(int domain, int type, int protocol) {
  note_call("socket");
  int kind = type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (domain != AF_NETLINK) {
    errno = EAFNOSUPPORT;  // the device has no network
    return -1;
  }
  if (protocol != NETLINK_KOBJECT_UEVENT ||
      (kind != SOCK_DGRAM && kind != SOCK_RAW)) {
    errno = EPROTONOSUPPORT;
    return -1;
  }
  return sim::model_hold(sim::open_uevent_socket(), std::nullopt);
}

int bind(int fd, const struct sockaddr* addr, socklen_t length) {
  note_call("bind");
  if (sim::OpenDevice* d = sim::model(fd)) return d->bind(addr, length);
  errno = ENOTSOCK;
  return -1;
}

ssize_t recv(int fd, void* buf, size_t count, int flags) {
  note_call("recv");
  if (sim::OpenDevice* d = sim::model(fd)) return d->recv(buf, count, flags);
  errno = ENOTSOCK;
  return -1;
}

DIR* opendir(const char* path) {
  note_call("opendir", path);
  if (path != nullptr && fails("opendir", path)) return nullptr;
  std::optional<sim::Resolved> r = resolve(path);
  return r ? ::opendir(r->host.c_str()) : nullptr;
}
struct dirent* readdir(DIR* dir) {
  note_call("readdir");
  return ::readdir(dir);
}
int closedir(DIR* dir) {
  note_call("closedir");
  return ::closedir(dir);
}

ssize_t readlink(const char* path, char* buf, size_t size) {
  note_call("readlink", path);
  if (path != nullptr && fails("readlink", path)) return -1;
  std::optional<sim::Resolved> r = resolve(path, false);
  return r ? ::readlink(r->host.c_str(), buf, size) : -1;
}

int symlink(const char* target, const char* linkpath) {
  note_call("symlink", linkpath);
  // The link's text stays as given; it is followed inside the device.
  std::optional<sim::Resolved> r = resolve(linkpath, false);
  if (!r || read_only(r)) return -1;
  return ::symlink(target, r->host.c_str());
}

int unlink(const char* path) {
  note_call("unlink", path);
  std::optional<sim::Resolved> r = resolve(path, false);
  if (!r || read_only(r)) return -1;
  return ::unlink(r->host.c_str());
}

int rmdir(const char* path) {
  note_call("rmdir", path);
  std::optional<sim::Resolved> r = resolve(path, false);
  if (!r || read_only(r)) return -1;
  return ::rmdir(r->host.c_str());
}

int mkdir(const char* path, mode_t mode) {
  note_call("mkdir", path);
  if (path != nullptr && fails("mkdir", path)) return -1;
  std::optional<sim::Resolved> r = resolve(path, false);
  if (!r || read_only(r)) return -1;
  return ::mkdir(r->host.c_str(), mode);
}

int rename(const char* from, const char* to) {
  note_call("rename", from);
  std::optional<sim::Resolved> a = resolve(from, false);
  std::optional<sim::Resolved> b = resolve(to, false);
  if (!a || !b || read_only(a) || read_only(b)) return -1;
  return ::rename(a->host.c_str(), b->host.c_str());
}

// Every model writes its state through at once: nothing to flush.
void sync() { note_call("sync"); }

int reboot(int cmd) {
  note_call("reboot");
  const auto how = static_cast<unsigned>(cmd);
  const char* outcome = how == RB_AUTOBOOT      ? "restart"
                        : how == RB_POWER_OFF   ? "power_off"
                        : how == RB_HALT_SYSTEM ? "halt"
                                                : nullptr;
  if (outcome == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (fails("reboot", "")) return -1;
  sim::write_call_log();
  std::ofstream(sim::device_dir() + "/state/outcome") << outcome << "\n";
  // The machine stops: every process on it ends at once.
  sim::kernel_locked([&](sim::KernelState& s) {
    for (sim::SimProcess& p : s.processes) {
      // A test driving the device from outside is not part of the machine.
      if (p.pid != 0 && p.pid != sim::self_pid() && !p.controller) {
        ::kill(p.pid, SIGKILL);
        p = sim::SimProcess{};
      }
    }
  });
  ::_exit(0);
}

int isatty(int fd) {
  note_call("isatty");
  if ((fd == 1 || fd == 2) && console_terminal) {
    if (*console_terminal) return 1;
    errno = ENOTTY;
    return 0;
  }
  return ::isatty(fd);
}

}  // namespace os
