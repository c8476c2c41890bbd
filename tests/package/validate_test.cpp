#include "package/validate.h"

#include <gtest/gtest.h>

#include "package/hex_word.h"
#include "tests/package/package_bytes.h"
#include "tests/sim_device.h"

using namespace test_bytes;

namespace {

class Validate : public ::testing::Test {
 protected:
  int validate(const std::string& bytes) {
    device.put("/pkg.bpk2", bytes);
    PackagePtr p = bpk_open("/pkg.bpk2", false);
    return validate_package(p.get());
  }
  SimDevice device;
};

// Flips one data byte.
std::string damage(std::string bytes, size_t data_offset) {
  bytes.at(data_offset) ^= 0x40;
  return bytes;
}

}  // namespace

TEST_F(Validate, SoundPackageWithExtraEntries) {
  EXPECT_EQ(validate(container({{bpk_type_rootfs, "rootfs"},
                                {bpk_type_kernel, "kernel"},
                                {bpk_type_version, "1.2.3.4"},
                                {0x11111111, "other"}})),
            0);
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(Validate, BadContainerGivesOneLineAndNoEntryLines) {
  std::string bytes = container({{bpk_type_rootfs, "r"}});
  bytes[30] ^= 1;  // inside the entry header
  EXPECT_EQ(validate(bytes), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to open bpk file: corrupted crc\n");
  sim::clear_console();
  EXPECT_EQ(validate_package(nullptr), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to open bpk file: corrupted crc\n");
}

TEST_F(Validate, MissingEntriesAreReportedKernelFirst) {
  EXPECT_EQ(validate(container({{bpk_type_rootfs, "rootfs"}})), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to find kernel partition\n");
  sim::clear_console();
  EXPECT_EQ(validate(container({{bpk_type_kernel, "kernel"}})), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to find rootfs partition\n");
  sim::clear_console();
  EXPECT_EQ(validate(container({{bpk_type_version, "1.2.3.4"}})), -1);
  EXPECT_EQ(
      SimDevice::console(2),
      "Failed to find kernel partition\nFailed to find rootfs partition\n");
  sim::clear_console();
  // A kernel with another variant is not the kernel.
  EXPECT_EQ(
      validate(container({{bpk_type_rootfs, "r"}, {bpk_type_kernel, "k", 1}})),
      -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to find kernel partition\n");
}

TEST_F(Validate, DamagedDataIsReportedForEachImage) {
  // rootfs data at 52..57, kernel header at 58, kernel data at 82..87.
  std::string bytes =
      container({{bpk_type_rootfs, "rootfs"}, {bpk_type_kernel, "kernel"}});
  EXPECT_EQ(validate(damage(bytes, 84)), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to validate kernel CRC\n");
  sim::clear_console();
  EXPECT_EQ(validate(damage(bytes, 53)), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to validate rootfs CRC\n");
  sim::clear_console();
  EXPECT_EQ(validate(damage(damage(bytes, 53), 84)), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to validate kernel CRC\nFailed to validate rootfs CRC\n");
}

TEST_F(Validate, CutShortEntryNeverPassesWhateverItsStoredCrc) {
  // The kernel entry claims 100 bytes and a CRC of 0xFFFFFFFF, the value
  // that also means "could not be read"; the file ends after 10 of them.
  std::string bytes = container({{bpk_type_rootfs, "rootfs"}});
  std::string kernel;
  append_be32(&kernel, bpk_type_kernel);
  append_be64(&kernel, 100);
  append_be32(&kernel, 0xFFFFFFFF);
  append_be32(&kernel, 0);
  append_be32(&kernel, 0);
  bytes += kernel + std::string(10, 'k');
  std::string field;
  append_be64(&field, 28 + 24 + 6 + 24 + 100);
  bytes.replace(8, 8, field);
  reseal(bytes);
  EXPECT_EQ(validate(bytes), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to validate kernel CRC\n");
  sim::clear_console();
  // Whole data whose CRC is that very value is sound.
  std::string kernel_data = "kernel" + crc_forcing_tail("kernel", 0xFFFFFFFF);
  EXPECT_EQ(validate(container(
                {{bpk_type_rootfs, "rootfs"}, {bpk_type_kernel, kernel_data}})),
            0);
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(Validate, FileCrc) {
  uint32_t reg = 0;
  device.put("/empty", "");
  EXPECT_EQ(file_crc32("/empty", &reg), 0);
  EXPECT_EQ(reg, 0xFFFFFFFFu);
  std::string data(10000, 'z');
  device.put("/data", data);
  EXPECT_EQ(file_crc32("/data", &reg), 0);
  EXPECT_EQ(~reg, crc32(data));
  EXPECT_EQ(file_crc32(nullptr, &reg), -1);
  EXPECT_EQ(file_crc32("/data", nullptr), -1);
  EXPECT_EQ(SimDevice::console(2), "");
  EXPECT_EQ(file_crc32("/missing", &reg), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to open file /missing\n");
}

TEST_F(Validate, HexWordFiles) {
  uint32_t v = 0;
  using namespace std::string_literals;
  for (const std::string& text :
       {"0x0000002A"s, "0x0000002a\n"s, "0X0000002A\r"s, "0x0000002A "s,
        "0x0000002A\0trailing"s, "0x0000002A\nanything"s}) {
    device.put("/w", text);
    EXPECT_EQ(read_hex_word_file("/w", &v), 0) << text;
    EXPECT_EQ(v, 42u);
  }
  EXPECT_EQ(SimDevice::console(2), "");
  device.put("/w", "0x0000002AZ");
  EXPECT_EQ(read_hex_word_file("/w", &v), -1);
  device.put("/w", "0x00G0002A");
  EXPECT_EQ(read_hex_word_file("/w", &v), -1);
  EXPECT_EQ(v, 0u);  // the digits accepted before the bad one
  device.put("/w", "0x0000002");
  EXPECT_EQ(read_hex_word_file("/w", &v), -1);
  device.put("/w", "1x0000002A");
  EXPECT_EQ(read_hex_word_file("/w", &v), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Corrupted file: /w\nCorrupted file: /w\nCorrupted file: /w\n"
            "Couldn't find '0x' pattern in file: /w\nCorrupted file: /w\n");
  sim::clear_console();
  EXPECT_EQ(read_hex_word_file("/missing", &v), -1);
  EXPECT_EQ(read_hex_word_file(nullptr, &v), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to open file /missing\n");
}

TEST_F(Validate, HexWordWriterMakesElevenBytes) {
  EXPECT_EQ(write_hex_word_file("/w", 42), 0);
  EXPECT_EQ(device.get("/w"), "0x0000002A\n");
  EXPECT_EQ(write_hex_word_file("/w", 0xDEADBEEF), 0);
  EXPECT_EQ(device.get("/w"), "0xDEADBEEF\n");
  uint32_t v;
  EXPECT_EQ(read_hex_word_file("/w", &v), 0);
  EXPECT_EQ(v, 0xDEADBEEFu);
  EXPECT_EQ(write_hex_word_file("/no/dir/w", 1), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to create file /no/dir/w\n");
}

// Sizes a volume cannot take are refused before anything is erased: an
// empty image, and one whose size has its high 32 bits set (the container
// walk takes the whole size, the data stream only the low half): its
// container is past 2 GiB, which is refused by its length first.
TEST_F(Validate, ImageSizesAVolumeCannotTake) {
  struct Case {
    std::string bytes;
    const char* lines;
  };
  std::string huge =
      container({{bpk_type_kernel, "kernel"}, {bpk_type_rootfs, "hsqs1"}});
  // The rootfs entry's size becomes 2^32 + 5, the length follows, resealed.
  size_t rootfs_header = 28 + 24 + 6;
  huge[rootfs_header + 7] = 1;
  huge[11] = 1;  // length += 2^32
  reseal(huge);
  // A container of 2 GiB, as its header says: refused by its length before
  // any entry is read.
  std::string two_gib = huge;
  two_gib[11] = 0;
  two_gib[12] = static_cast<char>(0x80);
  const Case cases[] = {
      {two_gib, "Failed to validate package size\n"},
      {container({{bpk_type_kernel, ""}, {bpk_type_rootfs, "hsqs"}}),
       "Failed to validate kernel size\n"},
      {container({{bpk_type_kernel, ""}, {bpk_type_rootfs, ""}}),
       "Failed to validate kernel size\nFailed to validate rootfs size\n"},
      {huge, "Failed to validate package size\n"},
  };
  for (const Case& c : cases) {
    sim::clear_console();
    EXPECT_EQ(validate(c.bytes), -1);
    EXPECT_EQ(SimDevice::console(2), c.lines);
  }
}
