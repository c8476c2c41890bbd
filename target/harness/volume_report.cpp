#include "target/harness/volume_report.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <mtd/ubi-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "boards/board.h"
#include "common/unique_fd.h"
#include "package/crc32.h"

namespace {

int partition_index() {
  std::ifstream mtd("/proc/mtd");
  std::string line;
  while (std::getline(mtd, line)) {
    int index;
    if (line.find(std::string("\"") + device_board().ubi_partition + "\"") !=
            std::string::npos &&
        std::sscanf(line.c_str(), "mtd%d:", &index) == 1)
      return index;
  }
  return -1;
}

std::string attribute(const std::string& dir, const char* name) {
  std::ifstream in(dir + "/" + name);
  std::string value;
  std::getline(in, value);
  return value;
}

std::string volume_line(const std::string& entry) {
  std::string dir = "/sys/class/ubi/" + entry;
  std::string line = "volume " + attribute(dir, "name") + ": ";
  unique_fd volume(open(("/dev/" + entry).c_str(), O_RDONLY | O_CLOEXEC));
  if (!volume.ok()) return line + "unreadable: " + strerror(errno);
  uint32_t crc = 0xFFFFFFFFu;
  unsigned long long bytes = 0;
  static char buffer[64 * 1024];
  ssize_t n;
  while ((n = read(volume.get(), buffer, sizeof buffer)) > 0) {
    crc = crc32_feed(buffer, n, crc);
    bytes += static_cast<unsigned long long>(n);
  }
  char figures[96];
  std::snprintf(figures, sizeof figures, "%llu bytes, crc 0x%08x", bytes,
                crc ^ 0xFFFFFFFFu);
  line += figures;
  if (n < 0) line += std::string(", read failed: ") + strerror(errno);
  if (attribute(dir, "corrupted") == "1") line += ", corrupted";
  if (attribute(dir, "upd_marker") == "1") line += ", update marker";
  return line;
}

}  // namespace

std::vector<std::string> report_volumes() {
  int index = partition_index();
  if (index < 0) return {"no UBI partition in /proc/mtd"};
  unique_fd ctrl(open("/dev/ubi_ctrl", O_RDONLY | O_CLOEXEC));
  ubi_attach_req request{};
  request.ubi_num = UBI_DEV_NUM_AUTO;
  request.mtd_num = index;
  request.vid_hdr_offset = 512;
  if (!ctrl.ok() || ioctl(ctrl.get(), UBI_IOCATT, &request) < 0)
    return {std::string("no UBI device: ") + strerror(errno)};
  std::string prefix = "ubi" + std::to_string(request.ubi_num) + "_";
  std::vector<std::string> entries;
  unique_dir dir(opendir("/sys/class/ubi"));
  while (dir.ok()) {
    dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
      entries.emplace_back(entry->d_name);
  }
  std::vector<std::string> lines;
  for (const std::string& entry : entries) lines.push_back(volume_line(entry));
  std::sort(lines.begin(), lines.end());
  if (lines.empty()) lines.push_back("no volumes");
  int32_t number = request.ubi_num;
  ioctl(ctrl.get(), UBI_IOCDET, &number);
  return lines;
}
