// The normal boot's four volume checks, in their order: the first that
// fails names the volume and sends the boot to the rescue. The volumes are
// set up through the flash library on the simulated device, then the device
// boots through velnor-sim.
#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/ubi-user.h>

#include <functional>

#include "common/os.h"
#include "flash/ubi.h"
#include "sim/sim.h"
#include "tests/support.h"

using test_support::SimBoard;

namespace {

// Leaves the volume's update unfinished: it reads as corrupted.
void start_update(UbiInfo* info, const char* name) {
  UbiVolume* vol = ubi_volume_find(info, name);
  ASSERT_NE(vol, nullptr);
  int fd = os::open(ubi_volume_device(vol), O_RDWR);
  ASSERT_GE(fd, 0);
  int64_t bytes = 100;
  ASSERT_EQ(os::ioctl(fd, UBI_IOCVOLUP, &bytes), 0);
  os::close(fd);
}

void remove(UbiInfo* info, const char* name) {
  ASSERT_EQ(ubi_volume_remove(info, ubi_volume_find(info, name)), 0);
}

struct Case {
  const char* name;
  std::function<void(UbiInfo*)> damage;
  const char* line;
};

const Case cases[] = {
    {"no_kernel", [](UbiInfo* i) { remove(i, "kernel"); },
     "No \"kernel\" volume available\n"},
    {"no_rootfs", [](UbiInfo* i) { remove(i, "rootfs"); },
     "No \"rootfs\" volume available\n"},
    {"neither", [](UbiInfo* i) { remove(i, "rootfs"), remove(i, "kernel"); },
     "No \"kernel\" volume available\n"},
    {"corrupted_kernel", [](UbiInfo* i) { start_update(i, "kernel"); },
     "Corrupted \"kernel\" volume\n"},
    // A missing volume is found before a corrupted one.
    {"corrupted_kernel_no_rootfs",
     [](UbiInfo* i) { start_update(i, "kernel"), remove(i, "rootfs"); },
     "No \"rootfs\" volume available\n"},
    {"both_corrupted",
     [](UbiInfo* i) { start_update(i, "rootfs"), start_update(i, "kernel"); },
     "Corrupted \"kernel\" volume\n"},
    // Data that rotted behind UBI's back: found only by opening the volume.
    {"rotten_kernel",
     [](UbiInfo*) { ASSERT_TRUE(sim::flash_rot_volume("kernel")); },
     "Corrupted \"kernel\" volume\n"},
    {"rotten_rootfs",
     [](UbiInfo*) { ASSERT_TRUE(sim::flash_rot_volume("rootfs")); },
     "Corrupted \"rootfs\" volume\n"},
};

class VolumeChecks : public ::testing::TestWithParam<Case> {};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

}  // namespace

TEST_P(VolumeChecks, TheFirstFailingCheckNamesItsVolume) {
  SimBoard board;
  board.must("init");
  board.must("install", {board.package("fw.bpk2", 20000, 5000)});
  ASSERT_TRUE(sim::attach(board.dev()));
  {
    UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
    ASSERT_TRUE(info);
    GetParam().damage(info.get());
    ASSERT_EQ(ubi_detach(info.get()), 0);
  }
  sim::detach();
  ProgramRun r = board.sim("boot");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err.rfind(GetParam().line, 0), 0u) << r.err;
  // No card, so no rescue: the next boot is asked to try again.
  EXPECT_EQ(board.flag(), 0x52450001u);
}

INSTANTIATE_TEST_SUITE_P(Order, VolumeChecks, ::testing::ValuesIn(cases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });
