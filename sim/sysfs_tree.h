// The flash's part of the simulated sysfs (/sys/class/mtd, /sys/class/ubi,
// /sys/class/block/mtdblock* and ubiblock*) and how a device's directory
// comes to hold it.
#pragma once

#include <string>

namespace sim {

struct Flash;
struct FlashRuntime;
// The flash's tree, as f and rt make it, brought into the device in dir:
// only the directories and files that changed. known, when given and not
// empty, is the device's record of its tree as this process last read or
// wrote it, nothing having changed it since; it is left holding the record
// as it now stands.
void sync_flash_sysfs(const std::string& dir, const Flash& f,
                      const FlashRuntime& rt, std::string* known = nullptr);

}  // namespace sim
