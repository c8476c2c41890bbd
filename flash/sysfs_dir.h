// Listing a sysfs class directory, entries in directory order.
#pragma once

#include <functional>

// Calls fn for every entry but "." and ".."; false when the directory
// cannot be opened.
bool list_sysfs_dir(const char* path,
                    const std::function<void(const char*)>& fn);
