#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/ubi-user.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/decimal.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/sysfs.h"
#include "common/unique_fd.h"
#include "flash/sysfs_dir.h"
#include "flash/ubi.h"

namespace {

constexpr char ubi_ctrl[] = "/dev/ubi_ctrl";
constexpr char ubi_ctrl_sysfs[] = "/sys/class/misc/ubi_ctrl";
constexpr char ubi_class[] = "/sys/class/ubi";
constexpr int vid_hdr_offset = 512;

// A request to the control node; the node is made first when missing.
int ctrl_ioctl(unsigned long request, void* arg) {
  unique_fd ctrl(os::open(ubi_ctrl, O_RDWR));
  if (!ctrl.ok()) return -1;
  return os::ioctl(ctrl.get(), request, arg);
}

}  // namespace

namespace {

// Makes a missing UBI node from its sysfs directory: 0, or -1 reported.
int make_ubi_node(const char* node, const std::string& dir) {
  switch (make_node_from_sysfs(node, dir, char_node_mode)) {
    case NodeMade::no_number:
      emit_line(2, "Failed to parse ", dir, "/dev");
      return -1;
    case NodeMade::no_node:
      emit_line(2, "Failed to create device: ", errno_text());
      return -1;
    case NodeMade::made:
      break;
  }
  return 0;
}

}  // namespace

int ubi_ctrl_create() {
  if (os::access(ubi_ctrl, W_OK) == 0) return 0;
  return make_ubi_node(ubi_ctrl, ubi_ctrl_sysfs);
}

UbiInfoPtr ubi_info_load(const std::string& entry) {
  auto info = std::make_unique<UbiInfo>();
  info->device = "/dev/" + entry;
  struct stat st;
  if (os::stat(info->device.c_str(), &st) != 0 &&
      make_ubi_node(info->device.c_str(),
                    std::string(ubi_class) + "/" + entry) != 0) {
    return nullptr;
  }
  // A device whose volumes cannot all be listed still yields its info.
  ubi_volumes_scan(info.get(), false);
  return info;
}

UbiInfoPtr ubi_attach(const MtdPartition* partition, int* attach_error) {
  if (attach_error != nullptr) *attach_error = 0;
  // Device entries: "ubi..." without any underscore, in directory order.
  std::vector<std::string> devices;
  if (!list_sysfs_dir(ubi_class, [&](const char* entry) {
        if (std::strncmp(entry, "ubi", 3) == 0 && !std::strchr(entry, '_')) {
          devices.emplace_back(entry);
        }
      })) {
    emit_line(2, "Failed to read /sys/class/ubi");
  }
  for (const std::string& entry : devices) {
    int32_t mtd_num;
    if (sysfs_read_int(std::string(ubi_class) + "/" + entry, "mtd_num",
                       &mtd_num) != 0 ||
        mtd_num != partition->index) {
      continue;
    }
    if (UbiInfoPtr info = ubi_info_load(entry)) return info;
  }

  ubi_attach_req request;
  std::memset(&request, 0, sizeof request);
  request.ubi_num = UBI_DEV_NUM_AUTO;
  request.mtd_num = partition->index;
  request.vid_hdr_offset = vid_hdr_offset;
  if (ubi_ctrl_create() != 0) return nullptr;
  unique_fd ctrl(os::open(ubi_ctrl, O_RDWR));
  if (!ctrl.ok()) return nullptr;
  if (os::ioctl(ctrl.get(), UBI_IOCATT, &request) < 0) {
    if (attach_error != nullptr) *attach_error = errno;
    emit_line(2, "Failed to attach ubi on ", partition->device, ": ",
              errno_text());
    return nullptr;
  }
  ctrl.reset();
  char number[11];
  format_decimal(number, static_cast<uint32_t>(request.ubi_num));
  return ubi_info_load(std::string("ubi") + number);
}

UbiInfoPtr ubi_info_for_mtd(const char* mtd_name, int* attach_error) {
  if (attach_error != nullptr) *attach_error = 0;
  std::unique_ptr<MtdPartitionList> list = mtd_partitions_load();
  if (!list) return nullptr;
  MtdPartition* partition = mtd_partition_find(list.get(), mtd_name);
  return partition != nullptr ? ubi_attach(partition, attach_error) : nullptr;
}

int ubi_detach(const UbiInfo* info) {
  if (ubi_ctrl_create() != 0) return -1;
  const char* digits = info->device.c_str();
  while (*digits != '\0' && (*digits < '0' || *digits > '9')) ++digits;
  uint32_t number;
  if (parse_decimal(digits, &number) == 0) return -1;
  auto ubi_num = static_cast<int32_t>(number);
  return ctrl_ioctl(UBI_IOCDET, &ubi_num) == 0 ? 0 : -1;
}
