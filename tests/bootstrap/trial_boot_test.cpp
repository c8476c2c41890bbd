// Trial boots of new firmware, boot by boot on the simulated device: the
// bootstrap built with three boots to confirm (and, for contrast, the one
// built without), the firmware's init as velnor-sim plays it, and
// velnor-bootflag reading and writing the register.
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support.h"

using test_support::SimBoard;

namespace {

// One boot: what the firmware's init does past the handover, velnor-sim's
// other options, a register lost with the power before it; then the
// register, how the boot ended, and a line it printed.
struct Boot {
  std::string firmware_init;
  uint32_t flag;
  const char* ended;
  const char* line = "";
  std::vector<std::string> options = {};
  std::optional<uint32_t> flag_before = std::nullopt;
};

struct Story {
  const char* name;
  bool trial;                          // the bootstrap built with trial boots
  uint32_t flag;                       // before the first boot
  std::vector<std::string> card, usb;  // FILE=NAME, of "new", "backup"
  std::vector<Boot> boots;
  const char* firmware;  // in the flash at the end: "old", "new", "backup"
};

const char* const restart = "restart: reboot";
const char* const watchdog = "restart: watchdog";
const char* const handover = "switch_root: ";
const char* const panic = "panic: exit status 1";

const Story stories[] = {
    {"confirmed",
     true,
     0x55500000,
     {"new=update.bpk2", "backup=backup.bpk2"},
     {},
     {{"", 0x00005403, restart, "Firmware updated"},
      {"confirm", 0, handover},
      {"hang", 0, watchdog},
      {"", 0, handover}},
     "new"},
    {"never confirmed: the backup takes over, trusted",
     true,
     0x55500000,
     {"new=update.bpk2", "backup=backup.bpk2"},
     {},
     {{"", 0x00005403, restart},
      {"hang", 0x00005402, watchdog},
      {"exit", 0x00005401, panic},
      {"hang", 0x00005400, watchdog},
      {"", 0, restart, "Firmware not confirmed after 3 boots"},
      {"hang", 0, watchdog}},
     "backup"},
    {"from USB: on trial, and confirmed",
     true,
     0x55420000,
     {"backup=backup.bpk2"},
     {"new=update.bpk2"},
     {{"", 0xB0025403, restart, "Firmware updated from USB"},
      {"confirm", 0xB0020000, handover}},
     "new"},
    {"no backup to return to: the new firmware is kept",
     true,
     0x55500000,
     {"new=update.bpk2"},
     {},
     {{"", 0x00005403, restart},
      {"hang", 0x00005402, watchdog},
      {"hang", 0x00005401, watchdog},
      {"hang", 0x00005400, watchdog},
      {"", 0, restart, "Failed to find rescue FW"},
      {"", 0, handover}},
     "new"},
    {"the backup is the new firmware: trusted as it is",
     true,
     0x55500000,
     {"backup=update.bpk2", "backup=backup.bpk2"},
     {},
     {{"", 0x00005403, restart},
      {"hang", 0x00005402, watchdog},
      {"hang", 0x00005401, watchdog},
      {"hang", 0x00005400, watchdog},
      {"", 0, restart, "Rescue firmware is the installed firmware"},
      {"", 0, handover}},
     "backup"},
    {"a root that fails on trial: the backup, trusted",
     true,
     0x55500000,
     {"new=update.bpk2", "backup=backup.bpk2"},
     {},
     {{"", 0x00005403, restart},
      {"", 0, restart, "Failed to mount root", {"--fail", "mount:/root:1:5"}},
      {"", 0, handover}},
     "backup"},
    {"the register lost with the power ends the trial as confirmed",
     true,
     0x55500000,
     {"new=update.bpk2", "backup=backup.bpk2"},
     {},
     {{"", 0x00005403, restart},
      {"hang", 0x00005402, watchdog},
      {"hang", 0, watchdog, "", {}, 0},
      {"", 0, handover}},
     "new"},
    {"an update request that fails is given up",
     true,
     0x55500000,
     {},
     {},
     {{"", 0x55504601, restart, "Failed to initialize MMC"},
      {"", 0x55504602, restart},
      {"", 0x44525550, restart, "Request given up after 3 failed attempts"},
      {"", 0x44525550, handover}},
     "old"},
    {"a USB request without a stick is given up",
     true,
     0x55420000,
     {"backup=backup.bpk2"},
     {},
     {{"", 0x55424601, restart},
      {"", 0x55424602, restart},
      {"", 0x44525542, restart},
      {"", 0x44525542, handover}},
     "old"},
    {"the bootstrap's own rescue request is never given up",
     true,
     0x52450001,
     {},
     {},
     {{"", 0x52450001, restart},
      {"", 0x52450001, restart},
      {"", 0x52450001, restart},
      {"", 0x52450001, restart}},
     "old"},
    {"without trial boots, an update is trusted at once",
     false,
     0x55500000,
     {"new=update.bpk2", "backup=backup.bpk2"},
     {},
     {{"", 0, restart, "Firmware updated"},
      {"hang", 0, watchdog},
      {"hang", 0, watchdog},
      {"hang", 0, watchdog},
      {"", 0, handover}},
     "new"},
    {"without trial boots, a trial is a normal boot",
     false,
     0x00005400,
     {"backup=backup.bpk2"},
     {},
     {{"", 0x00005400, handover}},
     "old"},
    {"without trial boots, a failed request stays",
     false,
     0x55504602,
     {},
     {},
     {{"", 0x55504602, restart}},
     "old"},
};

class TrialBoots : public ::testing::TestWithParam<Story> {};

void PrintTo(const Story& s, std::ostream* out) { *out << s.name; }

std::string how_it_ended(const nlohmann::json& state) {
  const nlohmann::json& boot = state["boot"];
  return boot["outcome"].get<std::string>() + ": " +
         boot["reason"].get<std::string>();
}

}  // namespace

TEST_P(TrialBoots, BootByBoot) {
  const Story& story = GetParam();
  SimBoard board;
  board.must("init");
  std::map<std::string, std::string> packages = {
      {"old", board.package("old.bpk2", 120000, 30000, 1, "1.0.0.0")},
      {"new", board.package("new.bpk2", 200000, 50000, 2, "2.0.0.0")},
      {"backup", board.package("backup.bpk2", 150000, 40000, 3, "1.5.0.0")}};
  std::map<std::string, std::map<std::string, std::string>> crcs;
  for (const auto& [name, pkg] : packages) {
    board.must("install", {pkg});
    crcs[name] = board.volume_crcs();
  }
  board.must("install", {packages["old"]});
  for (auto [medium, files] :
       {std::pair{"card", story.card}, {"usb", story.usb}}) {
    if (files.empty()) continue;
    for (std::string& f : files)
      f = packages[f.substr(0, f.find('='))] + f.substr(f.find('='));
    board.must(medium, files);
  }
  board.must("flag", {std::to_string(story.flag)});
  std::string init = "/sbin/velnor-bootstrap";
  if (story.trial) init = board.test_bootstrap("velnor-bootstrap-trial");
  int n = 0;
  for (const Boot& boot : story.boots) {
    SCOPED_TRACE("boot " + std::to_string(++n));
    if (boot.flag_before)
      board.must("flag", {std::to_string(*boot.flag_before)});
    std::vector<std::string> args = {"--init", init};
    if (!boot.firmware_init.empty()) {
      args.insert(args.end(), {"--firmware-init", boot.firmware_init});
    }
    args.insert(args.end(), boot.options.begin(), boot.options.end());
    ProgramRun r = board.sim("boot", args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE((r.out + r.err).find(boot.line), std::string::npos)
        << r.out << r.err;
    nlohmann::json state = board.show();
    EXPECT_EQ(state["flag"].get<uint32_t>(), boot.flag);
    EXPECT_TRUE(how_it_ended(state).starts_with(boot.ended))
        << how_it_ended(state);
  }
  EXPECT_EQ(board.volume_crcs(), crcs[story.firmware]);
}

INSTANTIATE_TEST_SUITE_P(Stories, TrialBoots, ::testing::ValuesIn(stories),
                         [](const auto& info) {
                           std::string name;
                           for (char c : std::string(info.param.name)) {
                             if (std::isalnum(static_cast<unsigned char>(c)))
                               name += c;
                           }
                           return name;
                         });

// What velnor-bootflag reads in the register and what it writes, on the
// simulated device's register.
TEST(VelnorBootflag, ShowsConfirmsAndRequests) {
  SimBoard board;
  board.must("init");
  auto tool = [&](std::vector<std::string> args) {
    args.insert(args.begin(), VELNOR_BIN "/velnor-bootflag-sim");
    return run_program_in(board.scratch().path(), args, 60,
                          {"VELNOR_SIM_DIR=" + board.dev()});
  };
  struct Row {
    uint32_t flag;
    std::string text;  // show's line after "0x........: "
    std::string json;  // --json's state, request, boots_left, failed, from_usb
    uint32_t confirmed;
  };
  const Row rows[] = {
      {0x00000000, "firmware confirmed",
       R"("confirmed", null, null, null, false)", 0},
      {0x00005402, "new firmware on trial, 2 boots left to confirm",
       R"("trial", null, 2, null, false)", 0},
      {0xB0025401,
       "new firmware on trial (installed from USB), 1 boot left to confirm",
       R"("trial", null, 1, null, true)", 0xB0020000},
      {0xB0020000, "firmware confirmed (installed from USB)",
       R"("confirmed", null, null, null, true)", 0xB0020000},
      {0x55500000, "update requested",
       R"("requested", "update", null, 0, false)", 0x55500000},
      {0x55425401, "usb requested", R"("requested", "usb", null, 0, false)",
       0x55425401},
      {0x52454602, "rescue requested, failed 2 times",
       R"("requested", "rescue", null, 2, false)", 0x52454602},
      {0x52450001,
       "rescue requested by the bootstrap (the firmware could not come up)",
       R"("requested", "rescue", null, 0, false)", 0x52450001},
      {0x44525550, "update request given up: it failed at every attempt",
       R"("given_up", "update", null, null, false)", 0x44525550},
      {0x12345401, "firmware confirmed",
       R"("confirmed", null, null, null, false)", 0x12345401},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    board.must("flag", {std::to_string(row.flag)});
    char word[16];
    std::snprintf(word, sizeof word, "0x%08x", row.flag);
    ProgramRun r = tool({"show"});
    EXPECT_EQ(r.out, std::string(word) + ": " + row.text + "\n");
    r = tool({"show", "--json"});
    nlohmann::json expected = nlohmann::json::parse("[" + row.json + "]");
    nlohmann::json got = nlohmann::json::parse(r.out);
    EXPECT_EQ(got["schema"], 1);
    EXPECT_EQ(got["register"], word);
    EXPECT_EQ((nlohmann::json{got["state"], got["request"], got["boots_left"],
                              got["failed"], got["from_usb"]}),
              expected);
    ASSERT_EQ(tool({"confirm"}).status, 0);
    EXPECT_EQ(board.flag(), row.confirmed);
  }
  // A request replaces whatever the register held.
  for (auto [mode, flag] : {std::pair{"update", 0x55500000u},
                            {"rescue", 0x52450000u},
                            {"usb", 0x55420000u}}) {
    ASSERT_EQ(tool({"request", mode}).status, 0);
    EXPECT_EQ(board.flag(), flag);
  }
  ProgramRun r = tool({"request", "reboot"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("velnor-bootflag: request update|rescue|usb\n", 0), 0u);
  EXPECT_EQ(tool({"confirm", "--json"}).status, 2);
  EXPECT_EQ(tool({"--help"}).status, 0);
  // A board without the register.
  SimBoard bare;
  bare.must("init", {"--no-bootflag"});
  r = run_program_in(bare.scratch().path(),
                     {VELNOR_BIN "/velnor-bootflag-sim", "show"}, 60,
                     {"VELNOR_SIM_DIR=" + bare.dev()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Failed to open /dev/mem: ", 0), 0u) << r.err;
}
