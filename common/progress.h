// The progress display used while flash is written or erased, and the
// notice of bytes moved that lets a long step's watchdog budget follow it.
#pragma once

#include <cstddef>
#include <cstdint>

// One step: on a terminal, rewrites the percentage done in place and returns
// the characters it left on the screen; elsewhere writes one "." and returns
// 0. Feed each result into the next call (0 on the first); the caller ends
// the display with its own line feed. total is never 0.
uint32_t show_progress(uint32_t remaining, uint32_t total,
                       uint32_t previous_width);

// Makes the next step test the terminal again (tests only).
void show_progress_forget_terminal();

// Bytes moved by a long step (read from a medium, written to the flash, read
// back). Each time another progress_notice_bytes have moved, the hook runs:
// the boot renews its watchdog budget there, silently. Without a hook
// (tools on a workstation) nothing happens.
constexpr uint64_t progress_notice_bytes = 1 << 20;
void note_progress(size_t bytes);
void set_progress_hook(void (*hook)());
