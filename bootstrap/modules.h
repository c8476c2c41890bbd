// Loading the kernel modules and choosing the init program.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// Runs "/sbin/modprobe bootstrap"; its exit status, or -1.
int load_modules();

// The first "init=" of "/proc/cmdline" ("Using … as init"), or "/sbin/init".
std::string find_init();

// The value of the first "init=" of a kernel command line that is a
// parameter of its own, or nullopt.
std::optional<std::string> cmdline_init(std::string_view cmdline);
