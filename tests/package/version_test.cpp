#include "package/version.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/package/package_bytes.h"
#include "tests/sim_device.h"

using namespace test_bytes;

// Four numbers (each wraps in 32 bits: no check), then an optional "+"
// and kind letter (r 2, t 1, x 0; none 3) in either order, blanks between;
// a zero byte is no end of the text.
TEST(ParseVersion, Grammar) {
  struct Row {
    std::string text;
    int result;
    uint32_t last = 0;  // the fourth number
    int plus = 0;
    uint32_t kind = 3;
  } rows[] = {
      {"1.2.3.4", 0, 4},
      {"1.2.3.4\n", 0, 4},
      {"1.2.3.4 +r", 0, 4, 1, 2},
      {"1.2.3.4r+", 0, 4, 1, 2},
      {"10.20.30.40\tt\r\n", 0, 40, 0, 1},
      {"0.0.0.4294967296x", 0, 0, 0, 0},
      {"1.2.3.4r t", -EILSEQ},
      {"1.2.3.4++", -EILSEQ},
      {"1.2.3", -EILSEQ},
      {"1.2.3.4.5", -EILSEQ},
      {" 1.2.3.4", -EILSEQ},
      {"1.2.3.4-beta", -EILSEQ},
      {"", -EILSEQ},
      {"1..2.3.4", -EILSEQ},
      {"a.b.c.d", -EILSEQ},
      {"1.2.3.4 q", -EILSEQ},
      {"-1.2.3.4", -EILSEQ},
      {std::string("1.2.3.4\0junk", 12), -EILSEQ},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    FirmwareVersion v;
    ASSERT_EQ(parse_version_bytes(row.text.data(), row.text.size(), &v),
              row.result);
    if (row.text.find('\0') == std::string::npos) {
      EXPECT_EQ(parse_version(row.text.c_str(), &v), row.result);
    }
    if (row.result != 0) continue;
    EXPECT_EQ(v.numbers[3], row.last);
    EXPECT_EQ(v.plus, row.plus);
    EXPECT_EQ(v.kind, row.kind);
  }
  FirmwareVersion v;
  ASSERT_EQ(parse_version("1.2.3.4", &v), 0);
  EXPECT_EQ(v.numbers[0], 1u);
  EXPECT_EQ(parse_version(nullptr, &v), -EINVAL);
  EXPECT_EQ(parse_version("1.2.3.4", nullptr), -EINVAL);
  // The length given is where the text ends.
  EXPECT_EQ(parse_version_bytes("1.2.3.45", 7, &v), 0);
  EXPECT_EQ(v.numbers[3], 4u);
  EXPECT_EQ(parse_version_bytes("1.2.3.4", 6, &v), -EILSEQ);
}

TEST(CompareVersions, ByNumbersOnly) {
  FirmwareVersion a, b;
  parse_version("1.2.3.10", &a);
  parse_version("1.2.3.9+r", &b);
  EXPECT_EQ(compare_versions(&a, &b), 1);
  EXPECT_EQ(compare_versions(&b, &a), -1);
  parse_version("1.2.3.10 x", &b);
  EXPECT_EQ(compare_versions(&a, &b), 0);
  parse_version("2.0.0.0", &b);
  EXPECT_EQ(compare_versions(&a, &b), -1);
  EXPECT_EQ(compare_versions(nullptr, &b), -2);
}

TEST(ReadVersion, FromFilesAndPackages) {
  SimDevice device;
  FirmwareVersion v;
  device.put("/version", "3.1.4.1+\n");
  ASSERT_EQ(read_version_file("/version", &v), 0);
  EXPECT_EQ(v.numbers[1], 1u);
  EXPECT_EQ(v.plus, 1);
  device.put("/big", std::string(4097, ' '));
  EXPECT_EQ(read_version_file("/big", &v), -EILSEQ);
  device.put("/empty", "");
  EXPECT_EQ(read_version_file("/empty", &v), -EILSEQ);
  EXPECT_EQ(read_version_file("/missing", &v), -ENOENT);
  EXPECT_EQ(read_version_file(nullptr, &v), -EINVAL);

  device.put("/p.bpk2", container({{bpk_type_rootfs, "r"},
                                   {bpk_type_version, "5.6.7.8 t"}}));
  ASSERT_EQ(read_package_version("/p.bpk2", &v), 0);
  EXPECT_EQ(v.numbers[0], 5u);
  EXPECT_EQ(v.kind, 1u);
  device.put("/none.bpk2", container({{bpk_type_rootfs, "r"}}));
  EXPECT_EQ(read_package_version("/none.bpk2", &v), -ENODATA);
  device.put("/bigv.bpk2",
             container({{bpk_type_version, std::string(4097, '1')}}));
  EXPECT_EQ(read_package_version("/bigv.bpk2", &v), -EILSEQ);
  device.put("/nul.bpk2",
             container({{bpk_type_version, std::string("1.2.3.4\0junk", 12)}}));
  EXPECT_EQ(read_package_version("/nul.bpk2", &v), -EILSEQ);
  EXPECT_EQ(read_package_version("/missing.bpk2", &v), -ENOENT);
  // A version entry cut short by the end of the file does not parse.
  std::string cut = container({{bpk_type_version, "1.2.3.4"}});
  device.put("/cut.bpk2", cut.substr(0, cut.size() - 2));
  EXPECT_EQ(read_package_version("/cut.bpk2", &v), -EILSEQ);
}
