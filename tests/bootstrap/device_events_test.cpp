// A device event is never missed, however busy the machine is: a stick that
// arrives inside its 30-second wait is found in every one of many boots run
// beside a busy loop on every core.
#include <atomic>
#include <thread>

#include "tests/support.h"

using test_support::SimBoard;

TEST(DeviceEvents, ALateStickIsFoundUnderLoad) {
  SimBoard board;
  std::string pkg = board.package("fw.bpk2", 20000, 5000);
  std::atomic<bool> done{false};
  std::vector<std::thread> load;
  for (unsigned i = 0; i < std::max(2u, std::thread::hardware_concurrency());
       ++i) {
    load.emplace_back([&] {
      while (!done) {
      }
    });
  }
  int found = 0;
  const int runs = 50;
  for (int i = 0; i < runs; ++i) {
    std::error_code ec;
    std::filesystem::remove_all(board.dev(), ec);
    board.must("init");
    board.must("card");
    board.must("usb", {"--late", std::to_string(10000 + 100 * i),
                       pkg + "=update.bpk2"});
    board.must("flag", {"0x55420000"});
    ProgramRun r = board.sim("boot");
    if (r.out.find("Firmware updated from USB") != std::string::npos) {
      ++found;
    } else {
      ADD_FAILURE() << "run " << i << ":\n" << r.out << r.err;
    }
  }
  done = true;
  for (std::thread& t : load) t.join();
  EXPECT_EQ(found, runs);
}
