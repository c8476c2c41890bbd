#include "flash/sysfs_dir.h"

#include <cstring>

#include "common/os.h"
#include "common/unique_fd.h"

bool list_sysfs_dir(const char* path,
                    const std::function<void(const char*)>& fn) {
  unique_dir dir(os::opendir(path));
  if (!dir.ok()) return false;
  while (struct dirent* entry = os::readdir(dir.get())) {
    if (std::strcmp(entry->d_name, ".") == 0 ||
        std::strcmp(entry->d_name, "..") == 0) {
      continue;
    }
    fn(entry->d_name);
  }
  return true;
}
