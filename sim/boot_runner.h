// Whole boots of the device, and the initramfs programs the board provides.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// One boot: power on (the board reset), velnor-bootstrap (or the device
// program init) as the first process with args, until the machine restarts
// or hands over to switch_root. How it ended is kept for velnor-sim show. 0
// unless the runner itself failed.
struct BootFault {
  std::string call;
  std::string path;
  uint32_t nth;
  int error;
};
// firmware_init: what the installed firmware's init does once the boot
// has handed over to it ("confirm": runs "/usr/bin/velnor-bootflag
// confirm"; "hang": never feeds the watchdog; "exit": ends, and the kernel
// panics); empty: the boot ends at the handover.
int run_boot(const std::string& dir, const std::string& cmdline,
             const std::vector<std::string>& args,
             const std::vector<BootFault>& faults = {},
             uint32_t power_cut_after = 0,
             const std::string& init = "/sbin/velnor-bootstrap",
             const std::string& firmware_init = "");

// The board's own "/sbin/mke2fs", "/sbin/modprobe", "/sbin/switch_root".
int board_program(const std::string& name,
                  const std::vector<std::string>& args);

}  // namespace sim
