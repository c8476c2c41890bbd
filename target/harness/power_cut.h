// A power cut inside UBI's own header writes, for the harness.
//
// UBI's debugfs knobs (tst_emulate_power_cut and its minimum and maximum)
// make the kernel refuse one erase-counter or volume-identifier header
// write and turn the UBI device read-only: the flash then holds what a power
// loss at that write leaves. The knobs belong to an attached device, so the
// harness traces the device's first process and arms them when its attach
// returns; from then on every stop of that process looks for the cut, and
// the first one after it ends the boot, before the process can act on the
// failure the cut causes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

struct PowerCut {
  // Header writes that go through before the cut: 0 ends the boot as soon
  // as the first attach returns, before anything is written after it.
  unsigned writes = 0;
};

// Runs the traced first process pid (stopped at its exec) to its end; read
// and write stand for the boot flag register, which is put back as it was
// at the stop before the one that saw the cut. Returns the wait status, and
// sets cut when the boot ended at the power cut.
int run_to_power_cut(pid_t pid, const PowerCut& plan,
                     const std::function<uint32_t()>& read_register,
                     const std::function<void(uint32_t)>& write_register,
                     bool* cut, std::string* failure);
