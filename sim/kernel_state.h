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

constexpr int max_processes = 64;
constexpr int max_timers = 64;
constexpr int event_ring = 32;

struct KernelState {
  uint32_t magic;
  uint32_t version;
  uint64_t now_ns;
  uint64_t event_seq;  // sequence number of the newest device event
  SimProcess processes[max_processes];
  SimTimer timers[max_timers];
  SimEvent events[event_ring];
};

constexpr uint32_t kernel_magic = 0x564C4E53;  // "VLNS"
constexpr uint32_t kernel_version = 1;

// Creates the state file of a new device.
bool kernel_create(const char* state_file);

// Maps the state of the attached device for this process (again after a
// fork); registers the process as running. False when it cannot be mapped.
bool kernel_open(const char* state_file, bool controller);

// Maps the state without joining the device, runs fn locked, unmaps.
bool kernel_peek(const char* state_file,
                 const std::function<void(KernelState&)>& fn);
void kernel_close();

// Runs fn with the state locked (nested calls share the lock). Due timers
// fire first.
void kernel_locked(const std::function<void(KernelState&)>& fn);

// Blocks the calling process until ready() holds (checked under the lock) or
// the device clock reaches deadline_ns. Returns true when ready. While every
// process of the device is blocked, the clock jumps to the earliest wake-up.
// wait_real(ms) is called unlocked between checks to wait for real events
// (a descriptor becoming readable, another process running).
bool kernel_block(uint64_t deadline_ns,
                  const std::function<bool(const KernelState&)>& ready,
                  const std::function<void(int)>& wait_real);

// Process bookkeeping around calls that block in the host kernel.
void kernel_mark_blocked(bool blocked);
void kernel_register(pid_t pid, bool controller = false);
void kernel_forget(pid_t pid);

// Appends a device event (under the lock).
void kernel_post_event(KernelState& state, const char* text, uint32_t length);

}  // namespace sim
