#include "common/sysfs.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/sim_device.h"

namespace {

const char dir[] = "/sys/class/ubi/ubi0_1";

class Sysfs : public ::testing::Test {
 protected:
  void attr(const std::string& name, const std::string& value) {
    device.put(std::string(dir) + "/" + name, value);
  }
  SimDevice device;
};

}  // namespace

TEST_F(Sysfs, StringStopsAtLineEndNulOrEndOfFile) {
  struct Row {
    std::string text, value;
  } rows[] = {{"ubi0\n", "ubi0"},
              {"abc\rdef", "abc"},
              {std::string("x\0y", 3), "x"},
              {"no line feed", "no line feed"},
              {"", ""}};
  for (const Row& row : rows) {
    attr("name", row.text);
    EXPECT_EQ(sysfs_read_string(dir, "name"), row.value) << row.text;
  }
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(Sysfs, StringAcceptsAtMost2047Characters) {
  attr("longest", std::string(2047, 'x'));
  attr("longest_nl", std::string(2047, 'y') + "\n");
  attr("too_long", std::string(2048, 'z'));
  attr("too_long_nl", std::string(2048, 'z') + "\n");
  EXPECT_EQ(sysfs_read_string(dir, "longest"), std::string(2047, 'x'));
  EXPECT_EQ(sysfs_read_string(dir, "longest_nl"), std::string(2047, 'y'));
  EXPECT_EQ(sysfs_read_string(dir, "too_long"), std::nullopt);
  EXPECT_EQ(sysfs_read_string(dir, "too_long_nl"), std::nullopt);
  // An over-long value is refused without a message.
  EXPECT_EQ(SimDevice::console(2), "");
  // Values across the 256-byte steps of the buffer come back whole.
  attr("mid", std::string(300, 'm') + "\nrest");
  EXPECT_EQ(sysfs_read_string(dir, "mid"), std::string(300, 'm'));
}

TEST_F(Sysfs, MissingAttributeIsReportedWithTheJoinedPath) {
  EXPECT_EQ(sysfs_read_string(dir, "nothing"), std::nullopt);
  int64_t v64 = 5;
  EXPECT_EQ(sysfs_read_int64(dir, "nothing", &v64), -1);
  EXPECT_EQ(v64, 5);
  EXPECT_EQ(sysfs_attr_is_zero(dir, "nothing"), -1);
  const std::string line =
      "Failed to open file /sys/class/ubi/ubi0_1/nothing error: No such file "
      "or directory\n";
  EXPECT_EQ(SimDevice::console(2), line + line + line);
}

TEST_F(Sysfs, ReadFailureIsReported) {
  // A directory opens but cannot be read as a file.
  device.put(std::string(dir) + "/sub/x", "");
  EXPECT_EQ(sysfs_read_string(dir, "sub"), std::nullopt);
  EXPECT_EQ(sysfs_attr_is_zero(dir, "sub"), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to read str from sysfs file /sys/class/ubi/ubi0_1/sub "
            "error: Is a directory\n"
            "Failed to read sysfs file /sys/class/ubi/ubi0_1/sub error: Is a "
            "directory\n");
}

TEST_F(Sysfs, PathsBeyondTheKernelLimitAreRefused) {
  std::string name(4100, 'n');
  EXPECT_EQ(sysfs_read_string(dir, name), std::nullopt);
  EXPECT_NE(SimDevice::console(2).find("error: File name too long"),
            std::string::npos);
}

TEST_F(Sysfs, ZeroTestOnFlagTexts) {
  struct Row {
    const char* text;
    int zero;
  } rows[] = {{"0\n", 1}, {"0", 1},    {"1\n", 0},
              {"01", 0},  {"00\n", 0}, {"0\r", 1}};
  for (const Row& row : rows) {
    attr("flag", row.text);
    EXPECT_EQ(sysfs_attr_is_zero(dir, "flag"), row.zero) << row.text;
  }
  EXPECT_EQ(SimDevice::console(2), "");
  attr("empty", "");
  EXPECT_EQ(sysfs_attr_is_zero(dir, "empty"), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to read sysfs file /sys/class/ubi/ubi0_1/empty error: No "
            "data available\n");
}

// A number and whatever follows it; what does not begin with one fails,
// with 0 in the 64-bit reading and nothing changed in the 32-bit one.
TEST_F(Sysfs, SignedNumbers) {
  struct Row {
    const char* text;
    int result;
    int64_t value;
  } rows[] = {{"-12\n", 0, -12}, {"129024\n", 0, 129024}, {"77 kB\n", 0, 77},
              {"0-5", 0, -5},    {"abc\n", -1, 0},        {"", -1, 0}};
  for (const Row& row : rows) {
    attr("number", row.text);
    int64_t v = 1;
    EXPECT_EQ(sysfs_read_int64(dir, "number", &v), row.result) << row.text;
    EXPECT_EQ(v, row.value) << row.text;
  }
  attr("wide", "4294967297\n");
  attr("letters", "abc\n");
  int32_t v32 = 9;
  EXPECT_EQ(sysfs_read_int(dir, "wide", &v32), 0);
  EXPECT_EQ(v32, 1);  // the low 32 bits
  v32 = 9;
  EXPECT_EQ(sysfs_read_int(dir, "letters", &v32), -1);
  EXPECT_EQ(v32, 9);  // untouched on failure
  EXPECT_EQ(SimDevice::console(2), "");
}

// The kernel's encoding: minor's low byte, major in bits 8 to 19, the rest
// of the minor from bit 20 (a major beyond 12 bits loses its high bits).
TEST_F(Sysfs, DeviceNumbers) {
  struct Row {
    const char* text;
    uint32_t devnum;
  } rows[] = {{"254:0\n", 0xFE00},
              {"10:130\n", 0xA82},
              {"179:300 extra", 0x10B32C},
              {"5000:1\n", 0x38801}};
  for (const Row& row : rows) {
    attr("dev", row.text);
    uint32_t devnum = 0;
    EXPECT_EQ(sysfs_read_devnum(dir, &devnum), 0) << row.text;
    EXPECT_EQ(devnum, row.devnum) << row.text;
  }
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(Sysfs, MalformedDeviceNumbers) {
  uint32_t devnum = 7;
  attr("dev", "254\n");
  EXPECT_EQ(sysfs_read_devnum(dir, &devnum), -1);
  attr("dev", ":0\n");
  EXPECT_EQ(sysfs_read_devnum(dir, &devnum), -1);
  attr("dev", "254:\n");
  EXPECT_EQ(sysfs_read_devnum(dir, &devnum), -1);
  EXPECT_EQ(devnum, 7u);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to parse minor number in /sys/class/ubi/ubi0_1/dev\n"
            "Failed to parse major number in /sys/class/ubi/ubi0_1/dev\n"
            "Failed to parse minor number in /sys/class/ubi/ubi0_1/dev\n");
  sim::clear_console();
  EXPECT_EQ(sysfs_read_devnum("/sys/class/nothing", &devnum), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open file /sys/class/nothing/dev error: No such file or "
            "directory\n"
            "dev_str is null\n");
}

TEST(EncodeDevnum, MatchesTheKernelEncoding) {
  EXPECT_EQ(encode_devnum(10, 130), 0xA82u);
  EXPECT_EQ(encode_devnum(0xFFF, 0xFFFFF), 0xFFFFFFFFu);
  EXPECT_EQ(char_node_mode, 020666u);
  EXPECT_EQ(block_node_mode, 060666u);
}
