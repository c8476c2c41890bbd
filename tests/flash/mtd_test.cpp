#include "flash/mtd.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "common/os.h"
#include "common/progress.h"
#include "tests/sim_device.h"

namespace fs = std::filesystem;

namespace {

sim::DeviceOptions board_with(
    std::vector<std::pair<std::string, uint64_t>> parts,
    std::vector<uint32_t> bad = {}) {
  sim::DeviceOptions o;
  o.nand.partitions = std::move(parts);
  o.nand.bad_blocks = std::move(bad);
  return o;
}

}  // namespace

TEST(MtdPartitions, LoadsEveryPartitionNewestFirst) {
  SimDevice device(board_with({{"boot", 1 << 20}, {"nand0.ubi", 0}}));
  auto list = mtd_partitions_load();
  ASSERT_TRUE(list);
  // "mtdNro" entries are not partitions; the list runs in reverse listing
  // order, so compare as a set with the fields.
  int count = 0;
  for (MtdPartition* p = list->head.get(); p; p = p->next.get()) ++count;
  EXPECT_EQ(count, 2);
  MtdPartition* ubi = mtd_partition_find(list.get(), "nand0.ubi");
  ASSERT_NE(ubi, nullptr);
  EXPECT_EQ(ubi->index, 1);
  EXPECT_EQ(ubi->type, "nand");
  EXPECT_EQ(ubi->size, (128 << 20) - (1 << 20));
  EXPECT_EQ(ubi->device, "/dev/mtd1");
  EXPECT_EQ(ubi->sysfs, "/sys/class/mtd/mtd1");
  EXPECT_EQ(ubi->block_device, "/dev/mtdblock1");
  EXPECT_EQ(ubi->block_sysfs, "/sys/class/block/mtdblock1");
  EXPECT_EQ(mtd_partition_find(list.get(), "nand0"), nullptr);
  EXPECT_EQ(mtd_partition_find(list.get(), "nand0.ubi2"), nullptr);
  EXPECT_EQ(mtd_partition_find(nullptr, "boot"), nullptr);
  EXPECT_EQ(mtd_partition_find(list.get(), nullptr), nullptr);
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST(MtdPartitions, ListOrderIsTheReverseOfTheDirectoryOrder) {
  SimDevice device(board_with({{"a", 1 << 20}, {"b", 1 << 20}, {"c", 0}}));
  std::vector<std::string> listed;
  for (const auto& e : fs::directory_iterator(device.host("/sys/class/mtd"))) {
    std::string n = e.path().filename();
    if (n.find("ro") == std::string::npos) listed.push_back(n);
  }
  auto list = mtd_partitions_load();
  std::vector<std::string> loaded;
  for (MtdPartition* p = list->head.get(); p; p = p->next.get()) {
    loaded.push_back(p->sysfs.substr(15));
  }
  std::reverse(loaded.begin(), loaded.end());
  EXPECT_EQ(loaded, listed);
}

TEST(MtdPartitions, UnreadableEntriesAreLeftOut) {
  SimDevice device(board_with({{"boot", 1 << 20}, {"nand0.ubi", 0}}));
  fs::remove(device.host("/sys/class/mtd/mtd0/type"));
  device.put("/sys/class/mtd/mtd7x/name", "junk");  // not a partition entry
  auto list = mtd_partitions_load();
  ASSERT_TRUE(list);
  ASSERT_NE(list->head, nullptr);
  EXPECT_EQ(list->head->name, "nand0.ubi");
  EXPECT_EQ(list->head->next, nullptr);
  EXPECT_EQ(
      SimDevice::console(2),
      "Failed to open file /sys/class/mtd/mtd0/type error: No such file or "
      "directory\n"
      "Failed to initialize volume \"mtd0\"\n");
}

TEST(MtdPartitions, EmptyAndMissingDirectory) {
  SimDevice device;
  fs::remove_all(device.host("/sys/class/mtd"));
  EXPECT_EQ(mtd_partitions_load(), nullptr);
  EXPECT_EQ(SimDevice::console(2), "Failed to read /sys/class/mtd\n");
  fs::create_directories(device.host("/sys/class/mtd"));
  auto list = mtd_partitions_load();
  ASSERT_TRUE(list);
  EXPECT_EQ(list->head, nullptr);
}

TEST(MtdPartitions, NodesAreMadeOnlyWhenMissing) {
  SimDevice device;
  auto list = mtd_partitions_load();
  MtdPartition* p = list->head.get();
  ASSERT_STREQ(mtd_block_device(p), "/dev/mtdblock0");
  ASSERT_STREQ(mtd_char_device(p), "/dev/mtd0");
  struct stat st;
  ASSERT_EQ(os::stat("/dev/mtdblock0", &st), 0);
  EXPECT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(st.st_rdev, makedev(31, 0));
  ASSERT_EQ(os::stat("/dev/mtd0", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_rdev, makedev(90, 0));
  // Existing nodes are used as they are: sysfs is not read again.
  fs::remove(device.host("/sys/class/mtd/mtd0/dev"));
  fs::remove(device.host("/sys/class/block/mtdblock0/dev"));
  EXPECT_STREQ(mtd_char_device(p), "/dev/mtd0");
  EXPECT_STREQ(mtd_block_device(p), "/dev/mtdblock0");
  EXPECT_EQ(SimDevice::console(2), "");

  fs::remove(device.host("/dev/mtd0"));
  EXPECT_EQ(mtd_char_device(p), nullptr);
  EXPECT_EQ(
      SimDevice::console(2),
      "Failed to open file /sys/class/mtd/mtd0/dev error: No such file or "
      "directory\n"
      "dev_str is null\n"
      "Failed to parse /sys/class/mtd/mtd0/dev\n");
  EXPECT_EQ(mtd_block_device(nullptr), nullptr);
}

TEST(MtdPartitions, NodeThatCannotBeMadeIsReported) {
  SimDevice device;
  auto list = mtd_partitions_load();
  fs::remove_all(device.host("/dev"));
  EXPECT_EQ(mtd_char_device(list->head.get()), nullptr);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to create device: No such file or directory\n");
}

namespace {

class MtdErase : public ::testing::Test {
 protected:
  void SetUp() override { show_progress_forget_terminal(); }
  void TearDown() override { show_progress_forget_terminal(); }
  // A small chip keeps the transcripts readable: 8 blocks of 128 KiB.
  static sim::DeviceOptions small(std::vector<uint32_t> bad = {},
                                  bool bad_check = true, bool foreign = true) {
    sim::DeviceOptions o;
    o.nand.size = 1 << 20;
    o.nand.bad_blocks = std::move(bad);
    o.nand.badblock_ioctl = bad_check;
    o.nand.foreign_data = foreign;
    return o;
  }
  static MtdPartition* partition(std::unique_ptr<MtdPartitionList>& list) {
    list = mtd_partitions_load();
    mtd_char_device(list->head.get());
    return list->head.get();
  }
};

}  // namespace

TEST_F(MtdErase, SkipsBadBlocksWithoutAProgressMark) {
  SimDevice device(small({2, 5}));
  std::unique_ptr<MtdPartitionList> list;
  EXPECT_EQ(mtd_erase(partition(list)), 0);
  EXPECT_EQ(SimDevice::console(1), "Erasing MTD device (/dev/mtd0): ......\n");
  EXPECT_EQ(SimDevice::console(2), "");
  // Every good block erased: the flash is blank, and attaches as empty UBI.
  EXPECT_EQ(device.show()["flash"], "erased");
}

TEST_F(MtdErase, ProgressOnATerminalStopsOneBlockShort) {
  SimDevice device(small());
  sim::set_console_terminal(true);
  std::unique_ptr<MtdPartitionList> list;
  EXPECT_EQ(mtd_erase(partition(list)), 0);
  EXPECT_EQ(
      SimDevice::console(1),
      "Erasing MTD device (/dev/mtd0): 0%\b\b12%\b\b\b25%\b\b\b37%\b\b\b50%"
      "\b\b\b62%\b\b\b75%\b\b\b87%\n");
}

TEST_F(MtdErase, WithoutBadBlockCheckEveryBlockIsErasedAndSaidSo) {
  SimDevice device(small({}, false));
  std::unique_ptr<MtdPartitionList> list;
  EXPECT_EQ(mtd_erase(partition(list)), 0);
  std::string line = "Bad block check not available !!!\n";
  std::string expected;
  for (int i = 0; i < 8; ++i) expected += line;
  EXPECT_EQ(SimDevice::console(2), expected);
  EXPECT_EQ(SimDevice::console(1),
            "Erasing MTD device (/dev/mtd0): ........\n");
}

TEST_F(MtdErase, AFailingBadBlockTestStillErases) {
  sim::DeviceOptions o = small();
  o.nand.size = 2 * o.nand.erasesize;
  o.nand.badblock_errno = EIO;
  SimDevice device(o);
  std::unique_ptr<MtdPartitionList> list;
  EXPECT_EQ(mtd_erase(partition(list)), 0);
  EXPECT_EQ(SimDevice::console(2),
            "ioctl(MEMGETBADBLOCK) error: Input/output error\n"
            "ioctl(MEMGETBADBLOCK) error: Input/output error\n");
  EXPECT_EQ(SimDevice::console(1), "Erasing MTD device (/dev/mtd0): ..\n");
}

TEST_F(MtdErase, StopsAtTheFirstRefusedBlock) {
  // Unchecked, the bad block 3 is erased and refused by the chip.
  SimDevice device(small({3}, false));
  std::unique_ptr<MtdPartitionList> list;
  EXPECT_EQ(mtd_erase(partition(list)), -1);
  EXPECT_EQ(SimDevice::console(1), "Erasing MTD device (/dev/mtd0): ....");
  EXPECT_NE(SimDevice::console(2).find(
                "ioctl(MEMERASE) failed (on /dev/mtd0): Input/output error\n"),
            std::string::npos);
  // Blocks before it stay erased; the data is still not UBI.
  EXPECT_EQ(device.show()["flash"], "foreign");
}

TEST_F(MtdErase, NodeAndGeometryFailures) {
  SimDevice device(small());
  auto list = mtd_partitions_load();
  EXPECT_EQ(mtd_erase(list->head.get()), -1);  // no node made
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open device (/dev/mtd0): No such file or directory\n");
  sim::clear_console();
  // A node whose number has no MTD behind it.
  ASSERT_EQ(os::mknod("/dev/mtd0", S_IFCHR | 0666, makedev(90, 40)), 0);
  EXPECT_EQ(mtd_erase(list->head.get()), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open device (/dev/mtd0): No such device or address\n");
  sim::clear_console();
  // The UBI control node is no MTD: it refuses MEMGETINFO.
  fs::remove(device.host("/dev/mtd0"));
  ASSERT_EQ(os::mknod("/dev/mtd0", S_IFCHR | 0666, makedev(10, 125)), 0);
  EXPECT_EQ(mtd_erase(list->head.get()), -1);
  EXPECT_EQ(SimDevice::console(2),
            "ioctl(MEMGETINFO) failed (on /dev/mtd0): Inappropriate ioctl for "
            "device\n");
  EXPECT_EQ(SimDevice::console(1), "");
}

TEST_F(MtdErase, AnEmptyPartitionIsOnlyAHeading) {
  // The first partition takes the whole chip: the second has no bytes.
  sim::DeviceOptions o = small();
  o.nand.partitions = {{"nand0.ubi", o.nand.size}, {"empty", 0}};
  SimDevice device(o);
  std::unique_ptr<MtdPartitionList> list = mtd_partitions_load();
  MtdPartition* empty = list->head.get();
  while (empty != nullptr && empty->name != "empty") empty = empty->next.get();
  ASSERT_NE(empty, nullptr);
  mtd_char_device(empty);
  EXPECT_EQ(mtd_erase(empty), 0);
  EXPECT_EQ(SimDevice::console(1), "Erasing MTD device (/dev/mtd1): \n");
  EXPECT_EQ(SimDevice::console(2), "");
  // No erase request reached the chip: the other partition's data is kept.
  EXPECT_EQ(device.show()["flash"], "foreign");
}
