// A device built with a board name ("velnor-test-board"): a package that
// names other boards is refused in every mode that installs, before the
// flash changes; one that names none, or names this board among others,
// installs. A device without a name ignores what packages name.
#include <gtest/gtest.h>

#include "tests/support.h"

using test_support::SimBoard;

TEST(BoardName, APackageForAnotherBoardIsRefusedInEveryMode) {
  struct Row {
    std::vector<std::string> boards;  // --compatible of create
    const char* init;                 // the bootstrap
    bool installs;
  };
  const char* named = "velnor-bootstrap-board";
  const char* plain = "velnor-bootstrap";
  const Row rows[] = {
      {{"velnor-test-board"}, named, true},
      {{"other-board"}, named, false},
      {{}, named, true},
      {{"other-board", "velnor-test-board"}, named, true},
      {{"other-board"}, plain, true},
  };
  SimBoard board;
  board.must("init");
  board.test_bootstrap(named);
  std::string installed = board.package("installed.bpk2", 200000, 50000, 1);
  board.must("install", {installed});
  const auto before = board.volume_crcs();
  unsigned seed = 60;
  for (const Row& row : rows) {
    std::string pkg = board.package("named.bpk2", 300000, 60000, ++seed);
    std::vector<std::string> args = {
        VELNOR_BIN "/velnor-pack", "create",   "--force",      pkg, "--kernel",
        pkg + ".kernel",           "--rootfs", pkg + ".rootfs"};
    for (const std::string& b : row.boards)
      args.insert(args.end(), {"--compatible", b});
    ASSERT_EQ(board.run(args).status, 0);
    for (const auto& mode : SimBoard::install_modes) {
      std::string what = std::string(row.init) + " " + mode.flag + " " +
                         (row.boards.empty() ? "" : row.boards[0]);
      ProgramRun r = board.boot_in_mode(mode, pkg, installed,
                                        "/sbin/" + std::string(row.init));
      if (row.installs) {
        EXPECT_NE(r.out.find(mode.done), std::string::npos) << what << r.err;
        EXPECT_NE(board.volume_crcs(), before) << what;
      } else {
        EXPECT_NE(r.err.find("Failed to validate compatible\n"),
                  std::string::npos)
            << what << r.err;
        EXPECT_EQ(r.out.find(mode.done), std::string::npos) << what;
        EXPECT_EQ(board.volume_crcs(), before) << what;
      }
    }
  }
}
