// The simulated kernel's shared state: one file per device, mapped by every
// process running on it and changed only under its lock.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>

namespace sim {

constexpr uint64_t never = UINT64_MAX;

struct SimProcess {
  int32_t pid;       // 0: free slot
  uint32_t blocked;  // waiting in the seam until wake_ns or readiness
  uint64_t wake_ns;
  uint32_t controller;  // attached by a test or tool, not started on the device
  int32_t wait_pid;     // blocked waiting for this child to end (0: none)
  uint64_t seen_epoch;  // the activity it has looked at since blocking
};

struct SimTimer {
  uint32_t used;
  uint64_t at_ns;
  char dev_path[256];
  char attributes[512];  // "name=value\n" lines
};

struct SimEvent {
  uint64_t seq;
  uint32_t length;
  char text[500];
};

// The board's hardware watchdog.
struct SimWatchdog {
  int32_t open_pid;      // the device is single-open (0: closed)
  uint32_t magic_close;  // 'V' written: closing stops it
  uint32_t armed;
  uint32_t timeout_s;
  uint32_t fired;  // it restarted the machine
  uint64_t last_keepalive_ns;
  uint64_t fired_at_ns;
  uint64_t keepalives;
  uint64_t recent[32];     // the last keepalive times, by keepalives % 32
  uint64_t nonzero_bytes;  // bytes written that were not the keepalive 0
};

// A mounted file system: the device path it covers, the device number that
// stat reports for everything under it, and where its files live on the
// host (empty: the device's own tree).
struct SimMount {
  uint32_t used;
  uint32_t flags;  // MS_RDONLY and the rest, as mounted
  uint32_t dev;    // encoded as mknod takes it
  char target[128];
  char source[128];
  char fstype[16];
  char backing[256];
  char note[128];  // what is mounted, for velnor-sim show
};
constexpr int max_mounts = 16;

// A system call made to fail: the nth call of that name on that path.
struct SimFault {
  uint32_t used;
  uint32_t nth;
  int32_t error;
  uint32_t seen;
  char call[16];
  char path[128];  // "" matches any path
};
constexpr int max_faults = 8;

constexpr int max_processes = 64;
constexpr int max_timers = 64;
constexpr int event_ring = 32;

struct KernelState {
  uint32_t magic;
  uint32_t version;
  uint64_t now_ns;
  uint64_t event_seq;  // sequence number of the newest device event
  // Bumped whenever a process does something another may be waiting for
  // (a write to a pipe, a close, a signal): the clock may not move on
  // until every waiting process has looked again. Atomic: bumped without
  // the lock too.
  uint64_t activity_epoch;
  SimWatchdog watchdog;
  SimMount mounts[max_mounts];
  SimFault faults[max_faults];
  // Power is cut right after this many operations on the flash (0: never).
  uint32_t power_cut_after;
  uint32_t flash_ops;  // counted atomically, without the lock
  // Bumped by every flash transaction that changed the flash: what a
  // process has read of it stays true until this moves.
  uint64_t flash_epoch;
  SimProcess processes[max_processes];
  SimTimer timers[max_timers];
  SimEvent events[event_ring];
  // Bumped by every change of the mount table: what a process copied of it
  // stays true until this moves.
  uint64_t mounts_epoch;
};

constexpr uint32_t kernel_magic = 0x564C4E53;  // "VLNS"
// A device is used only by the version of the simulator that made it (its
// state files' layout is this version's): builders make their devices
// afresh for each run, and nothing keeps one across versions.
constexpr uint32_t kernel_version = 9;

// Creates the state file of a new device.
bool kernel_create(const char* state_file);

// Whether the file holds the state of a device made by another version of
// the simulator.
bool kernel_other_version(const char* state_file);

// Maps the state of the attached device for this process (again after a
// fork); registers the process as running. False when it cannot be mapped.
bool kernel_open(const char* state_file, bool controller);

// Maps the state without joining the device, runs fn locked, unmaps.
bool kernel_peek(const char* state_file,
                 const std::function<void(KernelState&)>& fn);
void kernel_close();

// The mapped state, unlocked: only for what may be read without the lock.
KernelState& kernel_state();

// Runs fn with the state locked (nested calls share the lock). Due timers
// fire first.
void kernel_locked(const std::function<void(KernelState&)>& fn);

// Blocks the calling process until ready() holds (checked under the lock),
// the device clock reaches deadline_ns, or a signal handler has run.
// Returns 1 when ready, 0 at the deadline, -1 when interrupted. While every
// process of the device is blocked, the clock jumps to the earliest wake-up.
enum class Wake { ready, deadline, interrupted };
Wake kernel_block(uint64_t deadline_ns,
                  const std::function<bool(const KernelState&)>& ready);

// Something happened that a blocked process may be waiting for.
void kernel_activity();

// Counts signal handlers run in this process (interrupts kernel_block).
void kernel_note_signal();

// Process bookkeeping around calls that block in the host kernel; wait_pid
// is the child being waited for (-1 any, 0 none).
void kernel_mark_blocked(bool blocked, pid_t wait_pid = 0);
void kernel_register(pid_t pid, bool controller = false);
// This process's id, asked of the kernel once per process (a fork's child
// asks again): the seam wants it on every call.
pid_t self_pid();
void kernel_forget(pid_t pid);

// Counts one operation on the flash (a UBI or MTD ioctl, a write to a
// volume or MTD node); the power goes when the count reaches the cut.
void kernel_flash_op();

}  // namespace sim
