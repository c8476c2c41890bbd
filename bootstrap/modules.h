// Loading the kernel modules and choosing the init program.
#pragma once

#include <string>

// Runs "/sbin/modprobe bootstrap"; its exit status, or -1.
int load_modules();

// The first "init=" of "/proc/cmdline" ("Using … as init"), or "/sbin/init".
std::string find_init();
