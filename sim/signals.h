// Signal handlers of a program on the simulated device: the program's own
// handler runs through a trampoline that also tells a seam call blocked in
// device time to return EINTR, as the kernel would.
#pragma once

#include <signal.h>

namespace sim {

// sigaction as the program sees it: old receives the program's own handler,
// never the trampoline.
int install_handler(int sig, const struct sigaction* act,
                    struct sigaction* old);

}  // namespace sim
