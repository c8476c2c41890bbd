// velnor-bootstrap's boot sequence: early steps, the mode choice, the mode,
// and the end (switch_root, or a restart).
#pragma once

enum class BootMode { update, rescue, usb, normal };

// Removes every argument that begins with word; returns how many went.
int take_boot_word(int* count, char** argv, const char* word);

// sync, 2 seconds, restart. Returns only if the restart is refused.
void restart_system();

// The whole boot. Returns only when the final restart fails.
int boot_main(int argc, char** argv);
