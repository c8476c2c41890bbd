// Updates on a device whose bootstrap was built with trusted keys
// (tests/keys/trusted.pub): only a package they signed is installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support.h"

namespace {

constexpr char keys[] = VELNOR_SOURCE "/tests/keys/";

class SignedUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    board.must("init");
    installed = board.package("installed.bpk2", 200000, 50000, 1);
    board.must("install", {installed});
    before = board.volume_crcs();
    // The keyed bootstraps as device programs.
    board.test_bootstrap("velnor-bootstrap-keyed");
    board.test_bootstrap("velnor-bootstrap-floor");
  }
  std::string package(const std::string& name, unsigned seed,
                      const std::string& version = "1.0.0.0") {
    return board.package(name, 300000, 60000, seed, version);
  }
  ProgramRun pack(std::vector<std::string> args) {
    args.insert(args.begin(), VELNOR_BIN "/velnor-pack");
    return board.run(args);
  }
  // Boots the keyed device with pkg as the card's update in the register.
  ProgramRun update(const std::string& pkg,
                    std::vector<std::string> card_options = {}) {
    card_options.push_back(pkg + "=update.bpk2");
    board.must("card", card_options);
    board.must("flag", {"0x55500000"});
    return board.sim("boot", {"--init", "/sbin/velnor-bootstrap-keyed"});
  }

  test_support::SimBoard board;
  std::string installed;
  std::map<std::string, std::string> before;
};

}  // namespace

TEST_F(SignedUpdate, OnlyAPackageByATrustedKeyIsInstalled) {
  ProgramRun made = pack({"keygen", board.scratch() / "stranger"});
  ASSERT_EQ(made.status, 0) << made.err;
  struct Case {
    const char* what;
    const char* key;  // signed with, or none
    const char* line;
  };
  const Case cases[] = {
      {"unsigned", nullptr, "Failed to find signature partition\n"},
      {"by a stranger", "stranger.key", "Failed to validate signature\n"},
  };
  unsigned seed = 10;
  for (const Case& c : cases) {
    std::string pkg = package(std::string(c.what) + ".bpk2", ++seed);
    if (c.key != nullptr) {
      ProgramRun s = pack({"sign", pkg, "--key", board.scratch() / c.key});
      ASSERT_EQ(s.status, 0) << s.err;
    }
    ProgramRun r = update(pkg);
    EXPECT_NE(r.err.find(c.line), std::string::npos) << c.what << r.err;
    EXPECT_NE(r.out.find("Update failed"), std::string::npos) << c.what;
    EXPECT_EQ(board.volume_crcs(), before) << c.what;
  }
  // Signed by the trusted key: installed.
  std::string pkg = package("signed.bpk2", 20);
  ProgramRun s =
      pack({"sign", pkg, "--key", std::string(keys) + "trusted.key"});
  ASSERT_EQ(s.status, 0) << s.err;
  ProgramRun r = update(pkg);
  EXPECT_NE(r.out.find("Firmware updated"), std::string::npos) << r.err;
  EXPECT_NE(board.volume_crcs(), before);
  EXPECT_EQ(board.flag(), 0u);
}

TEST_F(SignedUpdate, ASecondReadWithOtherBytesLeavesNoUnverifiedImage) {
  // Inside the rootfs data (the first entry, from byte 52), past the first
  // 16 KiB that the container walk reads with the headers, and inside one
  // 2 KiB chunk of the installation's reads.
  std::string pkg = package("signed.bpk2", 30);
  ProgramRun s =
      pack({"sign", pkg, "--key", std::string(keys) + "trusted.key"});
  ASSERT_EQ(s.status, 0) << s.err;
  ProgramRun r = update(
      pkg, {"--reread-differs-at", std::to_string(52 + 100 * 2048 + 1000)});
  EXPECT_NE(r.err.find("Failed to flash firmware, signature mismatch on "
                       "rootfs\n"),
            std::string::npos)
      << r.err;
  // The rootfs written from the changed bytes is gone, and the installed
  // firmware is as it was.
  EXPECT_EQ(board.volume_crcs(), before);
}

// The bootstrap built after a key rotation: it trusts rotated.pub alone and
// refuses a signed version below 3.0.0.0 (or none), in every mode that
// installs, before the flash changes.
TEST_F(SignedUpdate, TheVersionFloorHoldsInEveryMode) {
  struct Row {
    const char* version;  // "" for no version entry
    std::vector<const char*> keys;
    const char* line;  // the refusal, or null: installed
  };
  const Row rows[] = {
      {"3.0.0.0", {"rotated"}, nullptr},
      {"3.0.0.1", {"rotated"}, nullptr},
      {"10.0.0.0", {"rotated"}, nullptr},
      // The kind letter and "+" take no part, as in any comparison.
      {"3.0.0.0 x", {"rotated"}, nullptr},
      {"2.9.9.9r", {"rotated"}, "Failed to validate version\n"},
      {"", {"rotated"}, "Failed to validate version\n"},
      // A package of the overlap period, signed with both keys.
      {"2.1.0.0", {"trusted", "rotated"}, "Failed to validate version\n"},
      {"3.0.0.0", {"trusted"}, "Failed to validate signature\n"},
  };
  unsigned seed = 40;
  for (const Row& row : rows) {
    std::string pkg = package("floor.bpk2", ++seed, row.version);
    for (const char* key : row.keys) {
      ProgramRun s =
          pack({"sign", pkg, "--key", std::string(keys) + key + ".key"});
      ASSERT_EQ(s.status, 0) << s.err;
    }
    for (const auto& mode : test_support::SimBoard::install_modes) {
      std::string what = std::string(row.version) + " " + mode.flag;
      ProgramRun r = board.boot_in_mode(mode, pkg, installed,
                                        "/sbin/velnor-bootstrap-floor");
      if (row.line == nullptr) {
        EXPECT_NE(r.out.find(mode.done), std::string::npos) << what << r.err;
        EXPECT_NE(board.volume_crcs(), before) << what;
      } else {
        EXPECT_NE(r.err.find(row.line), std::string::npos) << what << r.err;
        EXPECT_EQ(r.out.find(mode.done), std::string::npos) << what;
        EXPECT_EQ(board.volume_crcs(), before) << what;
      }
    }
  }
}
