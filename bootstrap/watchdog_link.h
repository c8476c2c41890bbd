// The bootstrap's side of the watchdog: it starts velnor-wdog with a pipe as
// its standard input and, before each step of the boot, sends the number of
// seconds the step may take.
#pragma once

#include <cstdint>

// Starts the daemon unless one is running; -1 when no pipe could be made.
int watchdog_start();

// Sends one feeding request, starting the daemon first if needed. -1 only
// when the daemon could not be started for lack of a pipe; a failed send is
// reported and still gives 0.
int watchdog_reset(int32_t seconds);

// Gives the step under way a new budget of seconds, without a line: for a
// step whose length is known only once it has begun. Does nothing while no
// daemon runs.
void watchdog_extend(int32_t seconds);

// Ends the daemon, if one runs, and waits for it. Always 0.
int watchdog_stop();
