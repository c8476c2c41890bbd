// Trial boots of new firmware: a device build option (VELNOR_BOOT_ATTEMPTS).
#pragma once

// How many boots firmware the bootstrap installed from an update has to
// confirm that it runs, and how often a request the firmware made is tried
// before it is given up. 0 in a build without trial boots; a build with
// them links boot_attempts.cpp, whose definition replaces the default
// (boot_sequence.cpp).
unsigned trial_boot_attempts();
