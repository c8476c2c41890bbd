// Waiting for a device to appear, woken by the kernel's device events.
#pragma once

#include <cstdint>

// 0 as soon as path exists (also when it exists already); -1 once
// timeout_ms has passed without it (0 means no limit) or on any failure.
// Writes no message. Sleeps until a device event arrives: no polling.
int wait_for_path(const char* path, uint32_t timeout_ms);
