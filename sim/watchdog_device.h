// The board's hardware watchdog behind /dev/watchdog (10:130).
#pragma once

#include <memory>

#include "sim/open_device.h"

namespace sim {

constexpr unsigned watchdog_major = 10, watchdog_minor = 130;

std::unique_ptr<OpenDevice> open_watchdog(int flags);

}  // namespace sim
