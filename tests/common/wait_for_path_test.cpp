#include "common/wait_for_path.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/sim_device.h"

namespace {

const char card[] = "/sys/class/block/mmcblk0p1";
constexpr uint64_t ms = 1000000;

// Device time passes in these tests; real time must not.
class WaitForPath : public ::testing::Test {
 protected:
  void SetUp() override { started = std::chrono::steady_clock::now(); }
  void TearDown() override {
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::seconds(2));
  }
  SimDevice device;
  std::chrono::steady_clock::time_point started;
};

}  // namespace

TEST_F(WaitForPath, PresentPathReturnsAtOnce) {
  device.put(std::string(card) + "/dev", "179:1\n");
  EXPECT_EQ(wait_for_path(card, 0), 0);
  EXPECT_EQ(wait_for_path(card, 3000), 0);
  EXPECT_EQ(sim::now_ns(), 0u);
}

TEST_F(WaitForPath, GivesUpAfterTheTimeoutWhateverEventsArrive) {
  for (uint32_t at = 250; at < 6000; at += 250) sim::schedule_event(at);
  EXPECT_EQ(wait_for_path(card, 3000), -1);
  // The timeout bounds the whole call, not each wait between events.
  EXPECT_EQ(sim::now_ns(), 3000 * ms);
}

TEST_F(WaitForPath, GivesUpWithNoEventAtAll) {
  EXPECT_EQ(wait_for_path(card, 30000), -1);
  EXPECT_EQ(sim::now_ns(), 30000 * ms);
}

TEST_F(WaitForPath, ReturnsRightAfterTheEventThatMakesThePathAppear) {
  sim::schedule_event(100);
  sim::schedule_event(200);
  sim::schedule_event(300, card, {{"dev", "179:1"}});
  sim::schedule_event(400);
  EXPECT_EQ(wait_for_path(card, 3000), 0);
  EXPECT_EQ(sim::now_ns(), 300 * ms);
  EXPECT_EQ(device.get(std::string(card) + "/dev"), "179:1\n");
}

TEST_F(WaitForPath, NoTimeoutWaitsForAsLongAsItTakes) {
  sim::schedule_event(1000);
  sim::schedule_event(3600 * 1000, card);
  EXPECT_EQ(wait_for_path(card, 0), 0);
  EXPECT_EQ(sim::now_ns(), 3600 * 1000 * ms);
}

TEST_F(WaitForPath, EventsBeforeTheCallAreNotCounted) {
  // An event from before the socket was bound must not end a wait.
  sim::schedule_event(0);
  sim::now_ns();  // due events fire at the next look at the device
  EXPECT_EQ(wait_for_path(card, 500), -1);
  EXPECT_EQ(sim::now_ns(), 500 * ms);
}
