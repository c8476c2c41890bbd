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
    // The keyed bootstrap as the device's first program.
    std::string init = board.dev() + "/root/sbin/velnor-bootstrap-keyed";
    std::ofstream(init) << "#!/bin/sh\nexec $VELNOR_SIM_EMULATOR '" VELNOR_BIN
                           "/velnor-bootstrap-keyed-sim' \"$@\"\n";
    std::filesystem::permissions(init, std::filesystem::perms(0755));
  }
  std::string package(const std::string& name, unsigned seed) {
    return board.package(name, 300000, 60000, seed);
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
  // The rootfs written from the changed bytes is gone.
  EXPECT_EQ(board.volume_crcs().count("rootfs"), 0u);
}
