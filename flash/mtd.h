// The MTD partitions, as "/sys/class/mtd" lists them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct MtdPartition {
  std::string name;
  std::string type;          // "ubi": the kernel's MTD view of a UBI volume
  std::string device;        // /dev/mtd<N>
  std::string sysfs;         // /sys/class/mtd/mtd<N>
  std::string block_device;  // /dev/mtdblock<N>
  std::string block_sysfs;   // /sys/class/block/mtdblock<N>
  int32_t index = 0;
  int64_t size = 0;
  std::unique_ptr<MtdPartition> next;
};

// Owns every record; new records go to the front (reverse directory order).
struct MtdPartitionList {
  std::unique_ptr<MtdPartition> head;
};

// nullptr when "/sys/class/mtd" cannot be listed (reported). Entries that
// cannot be read are left out, each with its message.
std::unique_ptr<MtdPartitionList> mtd_partitions_load();

// The first partition whose name is exactly name.
MtdPartition* mtd_partition_find(MtdPartitionList* list, const char* name);

// The block and character device nodes, created from sysfs when missing.
const char* mtd_block_device(MtdPartition* partition);
const char* mtd_char_device(MtdPartition* partition);

// The partition's size, erase block and page sizes (MEMGETINFO): 0, or -1
// (reported).
int mtd_geometry(const MtdPartition* partition, uint64_t* size,
                 uint32_t* erasesize, uint32_t* writesize);

// Erases the whole partition block by block, skipping bad blocks, with
// progress; 0 when every good block was erased.
int mtd_erase(const MtdPartition* partition);
