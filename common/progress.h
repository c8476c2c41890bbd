// The progress display used while flash is written or erased.
#pragma once

#include <cstdint>

// One step: on a terminal, rewrites the percentage done in place and returns
// the characters it left on the screen; elsewhere writes one "." and returns
// 0. Feed each result into the next call (0 on the first); the caller ends
// the display with its own line feed. total is never 0.
uint32_t show_progress(uint32_t remaining, uint32_t total,
                       uint32_t previous_width);

// Makes the next step test the terminal again (tests only).
void show_progress_forget_terminal();
