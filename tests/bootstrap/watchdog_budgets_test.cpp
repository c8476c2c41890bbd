// How long each step of the boot may take before the watchdog restarts the
// device: the step is made to hang (a mount that never returns, or the
// kernel's check of a volume at its open reading one erase block in 2 s),
// and the restart must come once the step's budget and the watchdog's own
// 10 seconds have run out, not earlier and not later.
#include "tests/support.h"

using test_support::SimBoard;

namespace {

struct Step {
  const char* name;
  const char* flag;  // the boot flag register, "" to leave it clear
  const char* hang;  // the mount point whose mount never returns
  bool installed;    // firmware on the flash
  uint64_t budget_s;
  size_t rootfs_bytes = 20000;
  const char* slow_reads = nullptr;  // ms per erase block of a volume check
};

const Step steps[] = {
    {"start", "", "/proc", true, 10},
    {"update", "0x55500000", "/mnt/mmc", true, 300},
    {"rescue", "0x52450000", "/mnt/mmc", true, 300},
    {"usb", "0x55420000", "/mnt/usb", true, 300},
    {"fallback_rescue", "", "/mnt/mmc", false, 300},
    // The normal boot's 120 s, and a second for each MiB of the volumes
    // (the kernel reads them whole at their first open).
    {"normal", "", "/root", true, 121},
    {"normal_volume_check", "", "", true, 153, 32 << 20, "2000"},
};

class WatchdogBudgets : public ::testing::TestWithParam<Step> {};

void PrintTo(const Step& s, std::ostream* out) { *out << s.name; }

}  // namespace

TEST_P(WatchdogBudgets, AHangingStepEndsInARestartWhenItsBudgetRunsOut) {
  const Step& step = GetParam();
  SimBoard board;
  board.must("init");
  std::string pkg = board.package("fw.bpk2", step.rootfs_bytes, 5000);
  if (step.installed) board.must("install", {pkg});
  board.must("card", {pkg + "=update.bpk2", pkg + "=backup.bpk2"});
  board.must("usb", {pkg + "=update.bpk2"});
  if (step.flag[0] != '\0') board.must("flag", {step.flag});
  if (step.slow_reads) board.must("fault", {"slow-reads", step.slow_reads});
  std::vector<std::string> hang;
  if (step.hang[0] != '\0') {
    hang = {"--fail", std::string("mount:") + step.hang + ":1:hang"};
  }
  ProgramRun r = board.sim("boot", hang);
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json state = board.show();
  EXPECT_EQ(state["boot"]["reason"], "watchdog") << state["boot"];
  // The budget counts from its request, early in the boot; the watchdog
  // then restarts within its own timeout.
  auto fired_s = state["watchdog"]["fired_at_ns"].get<uint64_t>() / 1000000000;
  EXPECT_GE(fired_s, step.budget_s);
  EXPECT_LE(fired_s, step.budget_s + 12);
}

INSTANTIATE_TEST_SUITE_P(Steps, WatchdogBudgets, ::testing::ValuesIn(steps),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });
