// What a card or a stick can hold, and what can go wrong with it, never
// costs the device its installed firmware: whole boots on velnor-sim, the
// flash compared before and after.
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <map>

#include "tests/package/package_bytes.h"
#include "tests/support.h"

using test_support::SimBoard;

namespace {

struct Case {
  const char* name;
  uint32_t flag;  // the request in the register
  // Puts the input on the media; may add velnor-sim boot options.
  std::function<void(SimBoard&, std::vector<std::string>&)> setup;
  const char* line;  // the stderr line that reports the failure
};

// A package written byte by byte: velnor-pack makes no empty image.
std::string container_with(const std::string& rootfs,
                           const std::string& kernel) {
  return test_bytes::container(
      {{bpk_type_rootfs, rootfs}, {bpk_type_kernel, kernel}});
}

void card_with(SimBoard& b, const std::string& bytes) {
  b.must("card", {b.scratch().put("update.bpk2", bytes)});
}

const Case cases[] = {
    {"an empty kernel", 0x55500000,
     [](SimBoard& b, auto&) { card_with(b, container_with("hsqs", "")); },
     "Failed to validate kernel size\n"},
    {"an empty rootfs", 0x55500000,
     [](SimBoard& b, auto&) { card_with(b, container_with("", "kernel")); },
     "Failed to validate rootfs size\n"},
    {"images that do not fit the flash", 0x55500000,
     [](SimBoard& b, auto&) {
       b.must("card", {b.package("big.bpk2", 17 << 20, 1000) + "=update.bpk2"});
     },
     "Firmware does not fit: 140 erase blocks needed, 121 available\n"},
    {"a FIFO in place of the package", 0x55500000,
     [](SimBoard& b, auto&) {
       b.must("card", {});
       ASSERT_EQ(::mkfifo((b.medium("mmc") + "/update.bpk2").c_str(), 0644), 0);
     },
     "Failed to open bpk file: /mnt/mmc/update.bpk2\n"},
    {"a directory in place of the stick's package", 0x55420000,
     [](SimBoard& b, auto&) {
       // The card holds an older package the update must not fall back on.
       b.must("card", {b.package("old.bpk2", 3000, 3000, 9) + "=update.bpk2"});
       b.must("usb", {});
       std::filesystem::create_directory(b.medium("usb") + "/update.bpk2");
     },
     "File not found: /mnt/usb/update.bpk2\n"},
    {"a card that is busy in a usb update", 0x55420000,
     [](SimBoard& b, std::vector<std::string>& options) {
       b.must("card", {b.package("backup.bpk2", 3000, 3000, 9)});
       b.must("usb", {b.package("new.bpk2", 3000, 3000, 5) + "=update.bpk2"});
       options = {"--fail", "mount:/mnt/mmc:1:16"};
     },
     "Failed to mount /dev/mmcblk0p1: Device or resource busy\n"
     "Failed to mount MMC rw\n"},
    // The copy from the stick writes a file of its own: never through a
    // link on the card, and a copy cut short leaves the card as it was.
    {"the card's update.bpk2 a link to its backup, the stick pulled",
     0x55420000,
     [](SimBoard& b, auto&) {
       b.must("card", {b.package("backup.bpk2", 3000, 3000, 9)});
       std::filesystem::create_symlink("backup.bpk2",
                                       b.medium("mmc") + "/update.bpk2");
       b.must("usb", {"--removed-after", "60000",
                      b.package("new.bpk2", 300000, 3000, 5) + "=update.bpk2"});
     },
     "Failed to read: Input/output error\nFailed to move firmware on MMC\n"},
    {"the card's update.bpk2 another name of its backup, the stick pulled",
     0x55420000,
     [](SimBoard& b, auto&) {
       b.must("card", {b.package("backup.bpk2", 3000, 3000, 9)});
       std::filesystem::create_hard_link(b.medium("mmc") + "/backup.bpk2",
                                         b.medium("mmc") + "/update.bpk2");
       b.must("usb", {"--removed-after", "60000",
                      b.package("new.bpk2", 300000, 3000, 5) + "=update.bpk2"});
     },
     "Failed to read: Input/output error\nFailed to move firmware on MMC\n"},
    // A card of another file system is refused as a blank one is (EINVAL),
    // but holds what it holds: it is never formatted.
    {"a card of photos and a backup on vfat, in a usb update", 0x55420000,
     [](SimBoard& b, auto&) {
       b.must("card",
              {"--fstype", "vfat", b.package("backup.bpk2", 3000, 3000, 9),
               b.scratch().put("photo.jpg", "not a firmware")});
       b.must("usb", {b.package("new.bpk2", 3000, 3000, 5) + "=update.bpk2"});
     },
     "Not formatting /dev/mmcblk0p1: it holds another file system\n"
     "Failed to mount MMC rw\n"},
    // A passing kernel error is no reason to erase the partition.
    {"a control node that cannot be opened for the attach", 0x55500000,
     [](SimBoard& b, std::vector<std::string>& options) {
       b.must("card", {b.package("new.bpk2", 3000, 3000, 5) + "=update.bpk2"});
       options = {"--fail", "open:/dev/ubi_ctrl:1:24"};
     },
     "Failed to load ubi information\n"},
    // Refused once the new firmware is written: it was written beside the
    // installed one, which stays.
    {"a card pulled during the write", 0x55500000,
     [](SimBoard& b, auto&) {
       // Validation reads the package whole; the write reads it again.
       b.must("card",
              {"--removed-after", "500000",
               b.package("new.bpk2", 300000, 60000, 5) + "=update.bpk2"});
     },
     "Failed to flash firmware\n"},
    {"flash that stores other bytes than it was given", 0x55500000,
     [](SimBoard& b, auto&) {
       card_with(b, container_with("hsqs new", "new kernel"));
       b.must("fault", {"corrupt-writes", "on"});
     },
     "Failed to flash firmware\n"},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// Every file on the card: its content, or where a link leads.
std::map<std::string, std::string> card_files(const SimBoard& b) {
  std::map<std::string, std::string> files;
  namespace fs = std::filesystem;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(b.medium("mmc"), ec)) {
    std::string name = fs::relative(e.path(), b.medium("mmc")).string();
    if (e.is_symlink()) {
      files[name] = "-> " + fs::read_symlink(e.path()).string();
    } else if (e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      files[name] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return files;
}

class HostileMedia : public ::testing::TestWithParam<Case> {};

}  // namespace

TEST_P(HostileMedia, LeaveTheInstalledFirmwareAndTheRequest) {
  const Case& c = GetParam();
  SimBoard board;
  board.must("init", {"--nand-size", "16M"});
  board.must("install", {board.package("fw.bpk2", 200000, 50000)});
  auto before = board.volume_crcs();
  ASSERT_EQ(before.size(), 2u);
  std::vector<std::string> options;
  c.setup(board, options);
  auto card_before = board.show()["media"]["mmc"];
  auto files_before = card_files(board);
  board.must("flag", {std::to_string(c.flag)});

  options.insert(options.end(), {"--"});
  ProgramRun r = board.sim("boot", options);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(c.line), std::string::npos) << r.err;
  EXPECT_EQ(board.volume_crcs(), before);
  EXPECT_EQ(board.flag(), c.flag);  // tried again on the next boot
  // Nothing on the card was formatted away.
  EXPECT_EQ(board.show()["media"]["mmc"], card_before);
  EXPECT_EQ(card_files(board), files_before);
  EXPECT_EQ(r.out.find("Formatting"), std::string::npos);
  // With no card and no request, the installed firmware boots.
  board.must("fault", {"corrupt-writes", "off"});
  board.must("card", {"--remove"});
  board.must("flag", {"0"});
  board.must("boot");
  EXPECT_EQ(board.show()["boot"]["outcome"], "switch_root");
}

INSTANTIATE_TEST_SUITE_P(Inputs, HostileMedia, ::testing::ValuesIn(cases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch)))
                               ch = '_';
                           return name;
                         });
