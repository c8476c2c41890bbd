// velnor-wdog: arms the hardware watchdog and feeds it for as long as the
// bootstrap allows, over the pipe on standard input.
//
// The pipe carries feeding requests: 4 bytes each, a signed 32-bit number
// of seconds in the processor's byte order, counted from when the request
// is read; 0 or below feeds without limit. A new request replaces the last.
#pragma once

#include <cstdint>

// The whole seconds of the monotonic clock (0 when it cannot be read).
int64_t monotonic_seconds();

// Feeds the device until the pipe closes or SIGTERM arrives.
void feed_loop(int device);

// The program: 0 after a normal stop, 255 when the device cannot be opened.
int watchdog_daemon_main();
