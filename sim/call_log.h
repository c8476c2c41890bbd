// The call log: with VELNOR_SIM_CALLS naming a directory, every device
// process counts the system calls it makes (with the path, for calls that
// take one) and writes them there, with its own CPU time, when it replaces
// itself (execve), exits or restarts the machine: what a boot costs the
// device, call by call.
#pragma once

namespace sim {

// Counts one call of the seam.
void note_call(const char* name, const char* path = nullptr);
// Writes the counts to calls.<pid> and starts them again.
void write_call_log();
// A forked child's log starts empty: its parent's calls are its parent's.
void call_log_forget();

}  // namespace sim
