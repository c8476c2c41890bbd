// The flash's part of the simulated sysfs (/sys/class/mtd, /sys/class/ubi,
// /sys/class/block/mtdblock* and ubiblock*) and how a device's directory
// comes to hold it.
#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>

namespace sim {

// Directories and attribute files, by their paths under /sys
// ("class/ubi/ubi0/name"): plain strings, compared and split by hand, as
// every transaction of the flash builds and compares a tree.
struct SysfsTree {
  std::set<std::string> dirs;
  std::map<std::string, std::string> files;
};

// Makes the device in dir show the tree that make returns, made from source
// (a text that changes whenever the tree does): nothing when source is what
// it was, else only the directories and files that changed, so that the
// kernel's objects that stay keep their files as they would. known, when
// given and not empty, is the device's record of its tree as this process
// last read or wrote it, nothing having changed it since: the record file
// is then not read. It is left holding the record as it now stands.
void sysfs_sync(const std::string& dir, const std::string& source,
                const std::function<SysfsTree()>& make,
                std::string* known = nullptr);

struct Flash;
struct FlashRuntime;
// The flash's tree, as f and rt make it, brought into the device in dir
// (sysfs_sync, with its known record).
void sync_flash_sysfs(const std::string& dir, const Flash& f,
                      const FlashRuntime& rt, std::string* known = nullptr);

}  // namespace sim
