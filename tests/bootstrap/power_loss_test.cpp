// Power lost at every operation on the flash during an update: the device
// must always come back into one whole firmware (the new one or the
// backup), within three more boots.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "tests/program_run.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

// What the simulated device reports: zlib's CRC, apart from the product's.
uint32_t crc32(const std::string& data) {
  return static_cast<uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(data.data()),
              static_cast<uInt>(data.size())));
}

std::string hex(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", v);
  return text;
}

struct Firmware {
  std::string package;
  std::string rootfs_crc;
  std::string kernel_crc;
};

// How an update is made: from the card or from a stick, with the card's
// backup or without, on a board whose register survives the power loss
// or loses it.
struct Story {
  bool usb = false;
  bool backup = true;
  bool register_survives = true;
};

class PowerLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    fresh = make_firmware("new", 260000, 1);
    backup = make_firmware("backup", 130000, 2);
  }

  int sim(std::vector<std::string> args) {
    args.insert(args.begin(), VELNOR_BIN "/velnor-sim");
    return board.run(args).status;
  }
  nlohmann::json show() { return board.show(); }
  std::string outcome() {
    nlohmann::json boot = show()["boot"];
    return boot.is_object() ? boot["outcome"] : "";
  }
  // The CRC of a volume as the flash holds it, or "" when it is not there
  // whole.
  std::string volume_crc(const nlohmann::json& state, const std::string& name) {
    for (const nlohmann::json& v : state["volumes"]) {
      if (v["name"] == name && v["upd_marker"] == false) return v["crc32"];
    }
    return "";
  }

  Firmware make_firmware(const std::string& name, size_t rootfs_size,
                         unsigned seed) {
    std::string pkg = board.package(name + ".bpk2", rootfs_size, 40000, seed);
    return {pkg, hex(crc32(slurp(pkg + ".rootfs"))),
            hex(crc32(slurp(pkg + ".kernel")))};
  }

  // A device about to be updated: the new package (and a backup) on its
  // card, or the new package on a stick; the backup's firmware in the flash
  // when asked.
  void prepare(bool installed, bool by_flag, const Story& story) {
    fs::remove_all(dev);
    ASSERT_EQ(sim({"init", dev}), 0);
    if (installed) {
      ASSERT_EQ(sim({"install", dev, backup.package}), 0);
    }
    std::vector<std::string> card = {"card", dev};
    if (!story.usb) card.push_back(fresh.package + "=update.bpk2");
    if (story.backup) card.push_back(backup.package + "=backup.bpk2");
    ASSERT_EQ(sim(card), 0);
    if (story.usb) {
      ASSERT_EQ(sim({"usb", dev, fresh.package + "=update.bpk2"}), 0);
    }
    const char* request = story.usb ? "0x55420000" : "0x55500000";
    ASSERT_EQ(sim({"flag", dev, by_flag ? request : "0"}), 0);
  }

  // Walks the cut over every flash operation of the update (every
  // stride-th: VELNOR_WALK_STRIDE, a sample for the slow runs); returns the
  // last cut point tried, which with a stride of 1 is how many there are.
  int walk(bool installed, bool by_flag, const Story& story = {}) {
    int points = 0;
    for (int n = 1; n < 500; n += stride) {
      prepare(installed, by_flag, story);
      std::vector<std::string> first = {"boot", dev, "--power-cut-after",
                                        std::to_string(n)};
      if (!by_flag)
        first.insert(first.end(), {"--", story.usb ? "usb" : "update"});
      EXPECT_EQ(sim(first), 0);
      if (outcome() != "power_cut") break;  // the update needs fewer operations
      points = n;
      if (!story.register_survives) {
        EXPECT_EQ(sim({"flag", dev, "0"}), 0);
      }
      // Power comes back; the request, if any, was a word of that one boot.
      bool up = false;
      for (int boot = 0; boot < 3 && !up; ++boot) {
        EXPECT_EQ(sim({"boot", dev}), 0);
        up = outcome() == "switch_root";
      }
      EXPECT_TRUE(up) << "no switch_root after a cut at " << n;
      nlohmann::json state = show();
      std::string rootfs = volume_crc(state, "rootfs"),
                  kernel = volume_crc(state, "kernel");
      bool whole_new = rootfs == fresh.rootfs_crc && kernel == fresh.kernel_crc;
      bool whole_backup =
          rootfs == backup.rootfs_crc && kernel == backup.kernel_crc;
      EXPECT_TRUE(whole_new || whole_backup)
          << "a mix after a cut at " << n << ": rootfs " << rootfs
          << ", kernel " << kernel;
    }
    return points;
  }

  test_support::SimBoard board;
  const std::string& dev = board.dev();
  Firmware fresh, backup;
  int stride = std::max(1, std::atoi(std::getenv("VELNOR_WALK_STRIDE")
                                         ? std::getenv("VELNOR_WALK_STRIDE")
                                         : "1"));
};

}  // namespace

// An update from the card's package, with the backup beside it: onto blank
// flash or over installed firmware, asked for by the register or by a word
// of the kernel command line.
struct Walk {
  const char* name;
  bool installed;
  bool by_flag;
};

// By its name: gtest would print the record's bytes, padding among them.
void PrintTo(const Walk& walk, std::ostream* out) { *out << walk.name; }

class PowerLossWalk : public PowerLoss,
                      public ::testing::WithParamInterface<Walk> {};

TEST_P(PowerLossWalk, RecoversIntoOneWholeFirmware) {
  int points = walk(GetParam().installed, GetParam().by_flag);
  EXPECT_GT(points, 8);
  RecordProperty("cut_points", points);
  std::printf("cut points: %d, every %d tried and recovered\n", points, stride);
}

INSTANTIATE_TEST_SUITE_P(
    PowerLoss, PowerLossWalk,
    ::testing::Values(Walk{"BlankFlashUpdateByFlag", false, true},
                      Walk{"BlankFlashUpdateByWord", false, false},
                      Walk{"InstalledFirmwareUpdateByFlag", true, true},
                      Walk{"InstalledFirmwareUpdateByWord", true, false}),
    [](const ::testing::TestParamInfo<Walk>& info) { return info.param.name; });

// Without the card's backup, an update over installed firmware must end in
// the firmware the device had or the new one, wherever the power is cut:
// the new one is written beside the old, which stays until the new one is
// renamed into place. The same when the register loses the request.
TEST_F(PowerLoss, InstalledFirmwareKeptOrReplacedWithoutABackup) {
  struct Row {
    const char* what;
    bool by_flag;
    Story story;
  } rows[] = {
      {"update by the register", true, {false, false, true}},
      {"update by a word", false, {false, false, true}},
      {"USB update by the register", true, {true, false, true}},
      {"update by the register, lost with the power",
       true,
       {false, false, false}},
      {"USB update by the register, lost with the power",
       true,
       {true, false, false}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    int points = walk(true, row.by_flag, row.story);
    EXPECT_GT(points, 8);
    std::printf("%s: %d cut points, every %d tried and recovered\n", row.what,
                points, stride);
  }
}
