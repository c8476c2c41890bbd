// Every board of boards/board.h on the simulated device: the same stories
// (each mode that installs, then the normal boot into the new firmware), the
// device made as that board and its bootstrap built for it.
#include <gtest/gtest.h>

#include "boards/board.h"
#include "tests/support.h"

using test_support::SimBoard;

namespace {

// The bootstrap built for each board (bootstrap/CMakeLists.txt).
std::string bootstrap_for(const Board& b) {
  return std::string(b.name) == "reference"
             ? "velnor-bootstrap"
             : std::string("velnor-bootstrap-") + b.name;
}

class Boards : public ::testing::TestWithParam<Board> {};

}  // namespace

void PrintTo(const Board& b, std::ostream* out) { *out << b.name; }

namespace {}  // namespace

TEST_P(Boards, EachModeInstallsAndTheNextBootRunsTheNewFirmware) {
  const Board& b = GetParam();
  SimBoard board;
  board.must("init", {"--board", b.name});
  nlohmann::json state = board.show();
  EXPECT_EQ(state["board"], b.name);
  EXPECT_EQ(state["ubi_partition"], b.ubi_partition);
  EXPECT_EQ(state["flash"], "erased");
  std::string init = board.test_bootstrap(bootstrap_for(b));
  std::string installed = board.package("installed.bpk2", 200000, 50000, 1);
  std::string pkg = board.package("new.bpk2", 300000, 60000, 2, "2.0.0.0");
  board.must("install", {installed});
  const auto old = board.volume_crcs();
  for (const auto& mode : SimBoard::install_modes) {
    ProgramRun r = board.boot_in_mode(mode, pkg, installed, init);
    EXPECT_NE(r.out.find(mode.done), std::string::npos) << mode.flag << r.err;
    EXPECT_NE(board.volume_crcs(), old) << mode.flag;
  }
  ProgramRun r = board.sim("boot", {"--init", init});
  state = board.show();
  EXPECT_EQ(state["boot"]["outcome"], "switch_root") << r.out << r.err;
  ASSERT_EQ(state["volumes"].size(), 2u);
  // The normal boot's LEDs, by the board's names.
  EXPECT_EQ(state["leds"][b.led_green]["delay_on"], "50") << state["leds"];
}

INSTANTIATE_TEST_SUITE_P(All, Boards, ::testing::ValuesIn(boards),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

// A bootstrap built for another board finds nothing of its own on the
// device: the simulated /dev/mem offers only this board's register page
// (its own record of the address, kept apart from the program's), the
// partition has another name.
TEST(Boards, ABootstrapForAnotherBoardTouchesNothing) {
  SimBoard board;
  board.must("init", {"--board", "virt-b"});
  std::string installed = board.package("installed.bpk2", 200000, 50000, 1);
  board.must("install", {installed});
  const auto before = board.volume_crcs();
  board.must("flag", {"0x55500000"});
  board.must("card", {installed + "=update.bpk2"});
  ProgramRun r = board.sim("boot");
  EXPECT_NE(r.err.find("Failed to mmap"), std::string::npos) << r.err;
  EXPECT_EQ(board.volume_crcs(), before);
  EXPECT_EQ(board.flag(), 0x55500000u);
}

// The reference board is the device as it has always been: a build without
// VELNOR_BOARD must not change what it touches. Literals on purpose: the
// record is what is checked.
TEST(Boards, TheReferenceBoardIsTheDeviceAsItWas) {
  const Board& b = boards[0];
  EXPECT_STREQ(b.name, "reference");
  EXPECT_EQ(b.compatible, nullptr);
  EXPECT_EQ(b.bootflag_address, 0xFFFFFD58u);
  EXPECT_STREQ(b.ubi_partition, "nand0.ubi");
  EXPECT_STREQ(b.card.device, "/dev/mmcblk0p1");
  EXPECT_STREQ(b.stick.device, "/dev/sda1");
  EXPECT_STREQ(b.led_red, "err_red");
  EXPECT_STREQ(b.led_green, "pwr_green");
  EXPECT_STREQ(b.watchdog_device, "/dev/watchdog");
}
