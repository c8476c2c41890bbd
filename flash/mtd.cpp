#include "flash/mtd.h"

#include <sys/stat.h>

#include <cstring>

#include "common/decimal.h"
#include "common/emit_line.h"
#include "common/os.h"
#include "common/sysfs.h"
#include "common/unique_fd.h"
#include "flash/sysfs_dir.h"

namespace {

constexpr char mtd_class[] = "/sys/class/mtd";

// "mtd" followed by nothing but digits.
bool is_partition_entry(const char* name) {
  if (std::strncmp(name, "mtd", 3) != 0) return false;
  for (const char* p = name + 3; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return true;
}

std::unique_ptr<MtdPartition> load_partition(const std::string& entry) {
  auto part = std::make_unique<MtdPartition>();
  part->sysfs = std::string(mtd_class) + "/" + entry;
  struct stat st;
  if (os::stat(part->sysfs.c_str(), &st) != 0) return nullptr;
  std::string digits = entry.substr(3);
  part->device = "/dev/" + entry;
  part->block_device = "/dev/mtdblock" + digits;
  part->block_sysfs = "/sys/class/block/mtdblock" + digits;
  uint32_t index = 0;
  parse_decimal(digits.c_str(), &index);
  part->index = static_cast<int32_t>(index);
  if (sysfs_read_int64(part->sysfs, "size", &part->size) != 0) return nullptr;
  std::optional<std::string> name = sysfs_read_string(part->sysfs, "name");
  if (!name) return nullptr;
  part->name = std::move(*name);
  std::optional<std::string> type = sysfs_read_string(part->sysfs, "type");
  if (!type) return nullptr;
  part->type = std::move(*type);
  return part;
}

// The node at path, made from dir's "dev" attribute when missing.
const char* node(const std::string& path, const std::string& dir, mode_t mode) {
  struct stat st;
  if (os::stat(path.c_str(), &st) == 0) return path.c_str();
  switch (make_node_from_sysfs(path.c_str(), dir, mode)) {
    case NodeMade::no_number:
      emit_line(2, "Failed to parse ", dir, "/dev");
      return nullptr;
    case NodeMade::no_node:
      emit_line(2, "Failed to create device: ", errno_text());
      return nullptr;
    case NodeMade::made:
      break;
  }
  return path.c_str();
}

}  // namespace

std::unique_ptr<MtdPartitionList> mtd_partitions_load() {
  auto list = std::make_unique<MtdPartitionList>();
  bool listed = list_sysfs_dir(mtd_class, [&](const char* entry) {
    if (!is_partition_entry(entry)) return;
    std::unique_ptr<MtdPartition> part = load_partition(entry);
    if (!part) {
      emit_line(2, "Failed to initialize volume \"", entry, "\"");
      return;
    }
    part->next = std::move(list->head);
    list->head = std::move(part);
  });
  if (!listed) {
    emit_line(2, "Failed to read /sys/class/mtd");
    return nullptr;
  }
  return list;
}

MtdPartition* mtd_partition_find(MtdPartitionList* list, const char* name) {
  if (list == nullptr || name == nullptr) return nullptr;
  for (MtdPartition* p = list->head.get(); p != nullptr; p = p->next.get()) {
    if (p->name == name) return p;
  }
  return nullptr;
}

const char* mtd_block_device(MtdPartition* partition) {
  if (partition == nullptr || partition->block_device.empty() ||
      partition->block_sysfs.empty()) {
    return nullptr;
  }
  return node(partition->block_device, partition->block_sysfs, block_node_mode);
}

const char* mtd_char_device(MtdPartition* partition) {
  if (partition == nullptr || partition->device.empty() ||
      partition->sysfs.empty()) {
    return nullptr;
  }
  return node(partition->device, partition->sysfs, char_node_mode);
}
