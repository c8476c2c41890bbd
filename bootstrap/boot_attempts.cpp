// The trial boots a bootstrap was built with (velnor_boot_attempts in
// bootstrap/CMakeLists.txt): this definition replaces the default, which
// has none.
#include "bootstrap/trial_boots.h"

unsigned trial_boot_attempts() { return VELNOR_BOOT_ATTEMPTS_COUNT; }
