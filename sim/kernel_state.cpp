#include "sim/kernel_state.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "sim/sim.h"

namespace sim {
namespace {

struct Mapping {
  int fd = -1;
  pid_t owner = 0;  // the process that mapped it; a forked child maps anew
  KernelState* state = nullptr;
  std::string file;
};
// Made on first use: programs attach from static initialisers.
Mapping& map() {
  static Mapping m;
  return m;
}
int depth = 0;
volatile sig_atomic_t signals_seen = 0;

// Locks the state file for this process's open description.
// Nested locks in one process share the outer one.
class Lock {
 public:
  Lock() {
    if (depth++ > 0) return;
    int saved = errno;
    while (::flock(map().fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    errno = saved;
  }
  ~Lock() {
    if (--depth > 0) return;
    int saved = errno;
    ::flock(map().fd, LOCK_UN);
    errno = saved;
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
};

// A random start for an epoch: devices made one after another in one place
// do not meet, as a process keeps what it knows by directory and epoch.
uint64_t random_epoch() {
  std::random_device random;
  return uint64_t{random()} << 32 | random();
}

bool map_file(const std::string& file) {
  int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  void* p = ::mmap(nullptr, sizeof(KernelState), PROT_READ | PROT_WRITE,
                   MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    ::close(fd);
    return false;
  }
  auto* state = static_cast<KernelState*>(p);
  if (state->magic != kernel_magic || state->version != kernel_version) {
    ::munmap(p, sizeof(KernelState));
    ::close(fd);
    errno = EINVAL;
    return false;
  }
  map().fd = fd;
  map().state = state;
  map().owner = self_pid();
  map().file = file;
  return true;
}

void unmap() {
  if (map().state != nullptr) ::munmap(map().state, sizeof(KernelState));
  if (map().fd >= 0) ::close(map().fd);
  map().state = nullptr;
  map().fd = -1;
}

}  // namespace

pid_t self_pid() {
  static pid_t pid = 0;
  [[maybe_unused]] static const bool forgotten_in_children = [] {
    return pthread_atfork(nullptr, nullptr, [] { pid = 0; }) == 0;
  }();
  if (pid == 0) pid = ::getpid();
  return pid;
}

namespace {

// After a fork the child shares the parent's lock description: it needs its
// own, and its own entry in the process table.
KernelState& state() {
  if (map().owner != self_pid()) {
    std::string file = map().file;
    unmap();
    map_file(file);
    Lock lock;
    kernel_register(self_pid());
  }
  return *map().state;
}

SimProcess* find_process(KernelState& s, pid_t pid) {
  for (SimProcess& p : s.processes) {
    if (p.pid == pid) return &p;
  }
  return nullptr;
}

// A process that has ended (or is a zombie) no longer holds the clock back.
bool process_alive(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  std::getline(in, line);
  size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() &&
         line[paren + 2] != 'Z' && line[paren + 2] != 'X';
}

void write_attributes(const std::string& dir, const char* lines) {
  std::string text = lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t eq = line.find('=');
    if (eq != std::string::npos) {
      std::ofstream(dir + "/" + line.substr(0, eq))
          << line.substr(eq + 1) << "\n";
    }
    start = end + 1;
  }
}

// The activity epoch is bumped without the lock as well (kernel_activity):
// every look at it and every bump is atomic.
std::atomic_ref<uint64_t> activity(KernelState& s) {
  return std::atomic_ref<uint64_t>(s.activity_epoch);
}

// Appends a device event (under the lock).
void kernel_post_event(KernelState& s, const char* text, uint32_t length) {
  // A process waiting for device events must look before the clock moves
  // on: otherwise another blocked process may jump it past the waiter's
  // deadline before the waiter has seen the event.
  activity(s).fetch_add(1);
  SimEvent& e = s.events[++s.event_seq % event_ring];
  e.seq = s.event_seq;
  e.length = length < sizeof e.text ? length : sizeof e.text;
  std::memcpy(e.text, text, e.length);
}

void fire(KernelState& s, SimTimer& slot) {
  // Taken off the table first: making the path looks at the device again.
  SimTimer t = slot;
  slot = SimTimer{};
  std::string text = "change@/devices/virtual/misc/sim";
  if (t.dev_path[0] != '\0') {
    std::optional<std::string> dir = host_path(t.dev_path);
    if (dir) {
      std::error_code ec;
      std::filesystem::create_directories(*dir, ec);
      write_attributes(*dir, t.attributes);
    }
    text = std::string("add@") + t.dev_path;
  }
  kernel_post_event(s, text.c_str(), static_cast<uint32_t>(text.size()));
}

void fire_due(KernelState& s) {
  // Oldest first, so events keep the order they were scheduled in.
  for (;;) {
    SimTimer* next = nullptr;
    for (SimTimer& t : s.timers) {
      if (t.used && t.at_ns <= s.now_ns &&
          (next == nullptr || t.at_ns < next->at_ns)) {
        next = &t;
      }
    }
    if (next == nullptr) return;
    fire(s, *next);
  }
}

// The machine stops at once: every process started on the device ends.
void machine_stops(KernelState& s, const char* outcome) {
  std::ofstream(device_dir() + "/state/outcome") << outcome << "\n";
  pid_t self = self_pid();
  bool kill_self = false;
  for (SimProcess& p : s.processes) {
    if (p.pid == 0 || p.controller) continue;
    if (p.pid == self) {
      kill_self = true;
    } else {
      ::kill(p.pid, SIGKILL);
    }
    p = SimProcess{};
  }
  if (kill_self) ::kill(self, SIGKILL);
}

// The hardware watchdog restarts the machine.
void watchdog_fires(KernelState& s) {
  SimWatchdog& w = s.watchdog;
  w.fired = 1;
  w.fired_at_ns = s.now_ns;
  w.armed = 0;
  machine_stops(s, "watchdog");
}

uint64_t watchdog_deadline(const SimWatchdog& w) {
  return w.armed ? w.last_keepalive_ns + uint64_t{w.timeout_s} * 1000000000u
                 : never;
}

// With every live process blocked, nothing can happen before the earliest
// wake-up, timer or watchdog expiry: move the clock there. A process that
// has not yet looked at the latest activity, or whose awaited child has
// ended, is about to run: the clock waits for it.
void advance_if_idle(KernelState& s) {
  uint64_t next = never;
  for (SimProcess& p : s.processes) {
    if (p.pid == 0) continue;
    if (!p.blocked) {
      if (process_alive(p.pid)) return;
      // It ended after its parent's wait was looked at in this pass: the
      // parent is about to run, and the next pass sees that.
      p = SimProcess{};
      return;
    }
    // A process waiting for a child's end looks at nothing else.
    if (p.wait_pid == 0 && p.seen_epoch != activity(s).load()) return;
    if (p.wait_pid > 0 && !process_alive(p.wait_pid)) return;
    if (p.wake_ns < next) next = p.wake_ns;
  }
  for (const SimTimer& t : s.timers) {
    if (t.used && t.at_ns < next) next = t.at_ns;
  }
  uint64_t expiry = watchdog_deadline(s.watchdog);
  if (expiry < next) next = expiry;
  if (next != never && next > s.now_ns) s.now_ns = next;
  if (s.now_ns >= watchdog_deadline(s.watchdog)) watchdog_fires(s);
}

}  // namespace

bool kernel_create(const char* state_file) {
  int fd = ::open(state_file, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  KernelState* s = new KernelState{};
  s->magic = kernel_magic;
  s->version = kernel_version;
  s->flash_epoch = random_epoch();
  s->mounts_epoch = random_epoch();
  bool ok = ::write(fd, s, sizeof *s) == static_cast<ssize_t>(sizeof *s);
  delete s;
  ::close(fd);
  return ok;
}

bool kernel_other_version(const char* state_file) {
  uint32_t head[2] = {};
  std::ifstream in(state_file, std::ios::binary);
  in.read(reinterpret_cast<char*>(head), sizeof head);
  static_assert(offsetof(KernelState, magic) == 0 &&
                offsetof(KernelState, version) == sizeof(uint32_t));
  return in && head[0] == kernel_magic && head[1] != kernel_version;
}

bool kernel_open(const char* state_file, bool controller) {
  kernel_close();
  if (!map_file(state_file)) return false;
  Lock lock;
  kernel_register(self_pid(), controller);
  return true;
}

bool kernel_peek(const char* state_file,
                 const std::function<void(KernelState&)>& fn) {
  Mapping saved = map();
  int saved_depth = depth;
  map() = Mapping{};
  depth = 0;
  bool ok = map_file(state_file);
  if (ok) {
    Lock lock;
    fn(*map().state);
  }
  unmap();
  map() = saved;
  depth = saved_depth;
  return ok;
}

void kernel_close() {
  if (map().state != nullptr && map().owner == self_pid()) {
    Lock lock;
    kernel_forget(self_pid());
  }
  unmap();
  map().file.clear();
}

KernelState& kernel_state() { return state(); }

void kernel_locked(const std::function<void(KernelState&)>& fn) {
  KernelState& s = state();
  Lock lock;
  fire_due(s);
  fn(s);
}

void kernel_register(pid_t pid, bool controller) {
  KernelState& s = *map().state;
  if (SimProcess* p = find_process(s, pid)) {
    p->controller |= controller;
    return;
  }
  for (SimProcess& p : s.processes) {
    if (p.pid == 0 || !process_alive(p.pid)) {
      p = SimProcess{};
      p.pid = static_cast<int32_t>(pid);
      p.controller = controller;
      return;
    }
  }
}

void kernel_forget(pid_t pid) {
  if (SimProcess* p = find_process(*map().state, pid)) *p = SimProcess{};
}

void kernel_mark_blocked(bool blocked, pid_t wait_pid) {
  kernel_locked([&](KernelState& s) {
    pid_t self = self_pid();
    kernel_register(self);
    SimProcess* p = find_process(s, self);
    if (p == nullptr) return;
    p->blocked = blocked;
    p->wake_ns = never;
    p->wait_pid = blocked ? wait_pid : 0;
    p->seen_epoch = activity(s).load();
    if (!blocked) activity(s).fetch_add(1);  // a child's end was noticed
  });
}

void kernel_activity() {
  if (map().state == nullptr) return;
  // Without the lock: every close and write of a plain file comes here. The
  // process that bumps it is running, so no clock can move past it until it
  // blocks, which it does under the lock, after the bump.
  activity(state()).fetch_add(1);
}

void kernel_flash_op() {
  // Counted without the lock: an update counts every write, and the lock
  // is wanted only by the one operation the power is cut after.
  KernelState& s = state();
  uint32_t done = std::atomic_ref<uint32_t>(s.flash_ops).fetch_add(1) + 1;
  uint32_t cut = std::atomic_ref<uint32_t>(s.power_cut_after).load();
  if (cut != 0 && done == cut) {
    kernel_locked([](KernelState& s) { machine_stops(s, "power_cut"); });
  }
}

void kernel_note_signal() { signals_seen = signals_seen + 1; }

Wake kernel_block(uint64_t deadline_ns,
                  const std::function<bool(const KernelState&)>& ready) {
  pid_t self = self_pid();
  const sig_atomic_t signals_before = signals_seen;
  for (;;) {
    std::optional<Wake> answer;
    kernel_locked([&](KernelState& s) {
      SimProcess* p = find_process(s, self);
      if (ready(s)) {
        answer = Wake::ready;
      } else if (signals_seen != signals_before) {
        answer = Wake::interrupted;
      } else if (s.now_ns >= deadline_ns) {
        answer = Wake::deadline;
      } else if (p != nullptr) {
        p->blocked = 1;
        p->wake_ns = deadline_ns;
        p->seen_epoch = activity(s).load();
        advance_if_idle(s);
        fire_due(s);
        if (ready(s)) {
          answer = Wake::ready;
        } else if (s.now_ns >= deadline_ns) {
          answer = Wake::deadline;
        }
      }
      if (answer && p != nullptr) {
        p->blocked = 0;
        p->wake_ns = 0;
      }
    });
    if (answer) return *answer;
    ::usleep(500);
  }
}

}  // namespace sim
