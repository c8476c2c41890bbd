#include "common/progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sim_device.h"

using Writes = std::vector<std::string>;

class ShowProgress : public ::testing::Test {
 protected:
  void SetUp() override { show_progress_forget_terminal(); }
  void TearDown() override { show_progress_forget_terminal(); }
  SimDevice device;
};

TEST_F(ShowProgress, OnATerminalRewritesThePercentageInPlace) {
  sim::set_console_terminal(true);
  EXPECT_EQ(show_progress(100, 100, 0), 2u);
  EXPECT_EQ(SimDevice::writes(1), (Writes{"0", "%"}));
  sim::clear_console();
  EXPECT_EQ(show_progress(0, 100, 2), 4u);
  EXPECT_EQ(SimDevice::writes(1), (Writes{"\b", "\b", "100", "%"}));
}

TEST_F(ShowProgress, PercentageIsExactForLargeTotals) {
  sim::set_console_terminal(true);
  show_progress(100000000, 200000000, 0);
  EXPECT_EQ(SimDevice::console(1), "50%");
  sim::clear_console();
  // (total - remaining) * 100 would overflow 32 bits here.
  show_progress(1, 4294967295u, 0);
  EXPECT_EQ(SimDevice::console(1), "99%");
}

TEST_F(ShowProgress, ElsewhereOneDotPerStep) {
  sim::set_console_terminal(false);
  EXPECT_EQ(show_progress(100, 100, 0), 0u);
  EXPECT_EQ(show_progress(50, 100, 7), 0u);
  EXPECT_EQ(show_progress(0, 100, 0), 0u);
  EXPECT_EQ(SimDevice::writes(1), (Writes{".", ".", "."}));
}

TEST_F(ShowProgress, TerminalIsTestedOnlyOnce) {
  sim::set_console_terminal(false);
  show_progress(1, 2, 0);
  sim::set_console_terminal(true);
  show_progress(0, 2, 0);
  EXPECT_EQ(SimDevice::console(1), "..");
}
