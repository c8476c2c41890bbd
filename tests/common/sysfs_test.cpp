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
  attr("name", "ubi0\n");
  attr("a", "abc\rdef");
  attr("b", std::string("x\0y", 3));
  attr("c", "no line feed");
  attr("empty", "");
  EXPECT_EQ(sysfs_read_string(dir, "name"), "ubi0");
  EXPECT_EQ(sysfs_read_string(dir, "a"), "abc");
  EXPECT_EQ(sysfs_read_string(dir, "b"), "x");
  EXPECT_EQ(sysfs_read_string(dir, "c"), "no line feed");
  EXPECT_EQ(sysfs_read_string(dir, "empty"), "");
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
  attr("zero_nl", "0\n");
  attr("zero", "0");
  attr("one_nl", "1\n");
  attr("zero_one", "01");
  attr("zero_zero", "00\n");
  attr("zero_cr", "0\r");
  attr("empty", "");
  EXPECT_EQ(sysfs_attr_is_zero(dir, "zero_nl"), 1);
  EXPECT_EQ(sysfs_attr_is_zero(dir, "zero"), 1);
  EXPECT_EQ(sysfs_attr_is_zero(dir, "one_nl"), 0);
  EXPECT_EQ(sysfs_attr_is_zero(dir, "zero_one"), 0);
  EXPECT_EQ(sysfs_attr_is_zero(dir, "zero_zero"), 0);
  EXPECT_EQ(sysfs_attr_is_zero(dir, "zero_cr"), 1);
  EXPECT_EQ(SimDevice::console(2), "");
  EXPECT_EQ(sysfs_attr_is_zero(dir, "empty"), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to read sysfs file /sys/class/ubi/ubi0_1/empty error: No "
            "data available\n");
}

TEST_F(Sysfs, SignedNumbers) {
  attr("data_bytes", "-12\n");
  attr("big", "129024\n");
  attr("letters", "abc\n");
  attr("empty", "");
  attr("trailing", "77 kB\n");
  attr("late_minus", "0-5");
  attr("wide", "4294967297\n");
  int64_t v = 1;
  EXPECT_EQ(sysfs_read_int64(dir, "data_bytes", &v), 0);
  EXPECT_EQ(v, -12);
  EXPECT_EQ(sysfs_read_int64(dir, "big", &v), 0);
  EXPECT_EQ(v, 129024);
  EXPECT_EQ(sysfs_read_int64(dir, "trailing", &v), 0);
  EXPECT_EQ(v, 77);
  EXPECT_EQ(sysfs_read_int64(dir, "late_minus", &v), 0);
  EXPECT_EQ(v, -5);
  v = 1;
  EXPECT_EQ(sysfs_read_int64(dir, "letters", &v), -1);
  EXPECT_EQ(v, 0);
  v = 1;
  EXPECT_EQ(sysfs_read_int64(dir, "empty", &v), -1);
  EXPECT_EQ(v, 0);

  int32_t v32 = 9;
  EXPECT_EQ(sysfs_read_int(dir, "wide", &v32), 0);
  EXPECT_EQ(v32, 1);  // the low 32 bits
  v32 = 9;
  EXPECT_EQ(sysfs_read_int(dir, "letters", &v32), -1);
  EXPECT_EQ(v32, 9);  // untouched on failure
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(Sysfs, DeviceNumbers) {
  uint32_t devnum = 0;
  attr("dev", "254:0\n");
  EXPECT_EQ(sysfs_read_devnum(dir, &devnum), 0);
  EXPECT_EQ(devnum, 254u << 8);
  attr("dev", "10:130\n");
  EXPECT_EQ(sysfs_read_devnum(dir, &devnum), 0);
  EXPECT_EQ(devnum, (10u << 8) | 130u);
  attr("dev", "179:300 extra");
  EXPECT_EQ(sysfs_read_devnum(dir, &devnum), 0);
  EXPECT_EQ(devnum, (300u & 0xFF) | (179u << 8) | ((300u >> 8) << 20));
  attr("dev", "5000:1\n");  // major beyond 12 bits: high bits dropped
  EXPECT_EQ(sysfs_read_devnum(dir, &devnum), 0);
  EXPECT_EQ(devnum, ((5000u & 0xFFF) << 8) | 1u);
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
