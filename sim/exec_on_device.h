// Replacing a process with another program of the simulated device.
#pragma once

#include <string>

namespace sim {

// Executes the program at host (the device's path resolved), with the
// program's own arguments and environment plus what a device process needs
// to stay on the device (its directory, the emulator, the call log); a
// program built for another machine runs under VELNOR_SIM_EMULATOR. Returns
// only when the exec fails (-1, errno set).
int exec_on_device(const std::string& host, const char* path,
                   char* const argv[], char* const envp[]);

}  // namespace sim
