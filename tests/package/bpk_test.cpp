#include "package/bpk.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "common/os.h"
#include "package/crc32.h"
#include "tests/package/package_bytes.h"
#include "tests/sim_device.h"

#ifdef VELNOR_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace test_bytes;

namespace {

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

class Bpk : public ::testing::Test {
 protected:
  PackagePtr open(const std::string& bytes, bool writable = false) {
    device.put("/pkg.bpk2", bytes);
    return bpk_open("/pkg.bpk2", writable);
  }
  SimDevice device;
};

}  // namespace

TEST(Crc32, MatchesTheStandardAndChains) {
  EXPECT_EQ(bpk_crc32("123456789", 9, 0), 0xCBF43926u);
  EXPECT_EQ(bpk_crc32("", 0, 0), 0u);
  std::string data = random_bytes(100000, 1);
  uint32_t whole = bpk_crc32(data.data(), data.size(), 0);
  uint32_t chained = bpk_crc32(data.data(), 777, 0);
  chained = bpk_crc32(data.data() + 777, data.size() - 777, chained);
  EXPECT_EQ(chained, whole);
  EXPECT_EQ(whole, crc32(data));
  // The bare register: the standard CRC is its complement.
  EXPECT_EQ(
      ~crc32_feed(data.data(), static_cast<long>(data.size()), 0xFFFFFFFF),
      whole);
  EXPECT_EQ(crc32_feed(data.data(), 0, 0x1234u), 0x1234u);
  EXPECT_EQ(crc32_feed(data.data(), -5, 0x1234u), 0x1234u);
#ifdef VELNOR_HAVE_ZLIB
  for (size_t n : {size_t{0}, size_t{1}, size_t{7}, size_t{1023}, size_t{1024},
                   size_t{1039}, size_t{4096}, size_t{65543}, data.size()}) {
    auto z = static_cast<uint32_t>(::crc32(
        0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(n)));
    EXPECT_EQ(bpk_crc32(data.data(), n, 0), z) << n;
  }
  // Every start alignment and every length up to five braid blocks: the
  // byte, four-byte and braided paths, each fold and every tail.
  for (size_t start = 0; start < 8; ++start) {
    for (size_t n = 0; n < 5 * 4 * sizeof(size_t) + 8; ++n) {
      const auto* p = reinterpret_cast<const Bytef*>(data.data() + start);
      auto z = static_cast<uint32_t>(::crc32(0, p, static_cast<uInt>(n)));
      EXPECT_EQ(bpk_crc32(p, n, 0), z) << start << " " << n;
    }
  }
#endif
}

TEST_F(Bpk, EmptyContainerIsExactly28Bytes) {
  bpk_create("/new.bpk2").reset();
  std::string expected = "VLNR";
  append_be32(&expected, 0x00010000);
  append_be64(&expected, 28);
  append_be32(&expected, crc32(expected + std::string(12, '\0')));
  append_be32(&expected, 0);
  append_be32(&expected, 0);
  EXPECT_EQ(device.get("/new.bpk2"), expected);
  EXPECT_EQ(device.get("/new.bpk2"), container({}));
}

TEST_F(Bpk, OneEntryContainerIs57BytesToTheByte) {
  {
    PackagePtr p = bpk_create("/one.bpk2");
    ASSERT_TRUE(p);
    device.put("/data", "hello");
    ASSERT_EQ(bpk_add_file(p.get(), 0x12345678, 9, "/data"), 0);
  }
  std::string bytes = device.get("/one.bpk2");
  ASSERT_EQ(bytes.size(), 57u);
  EXPECT_EQ(bytes, container({{0x12345678, "hello", 9}}));
  EXPECT_EQ(bytes.substr(52), "hello");
}

TEST_F(Bpk, VersionsAcceptedBelow0x20000) {
  EXPECT_TRUE(open(container({}, 0x0001FFFF)));
  EXPECT_TRUE(open(container({}, 0)));
  errno = 0;
  EXPECT_FALSE(open(container({}, 0x00020000)));
  EXPECT_EQ(errno, EILSEQ);
  std::string bad_magic = container({});
  bad_magic[0] = 'X';
  errno = 0;
  EXPECT_FALSE(open(bad_magic));
  EXPECT_EQ(errno, EILSEQ);
  errno = 0;
  EXPECT_FALSE(open(container({}).substr(0, 27)));
  EXPECT_EQ(errno, EILSEQ);
  errno = 0;
  EXPECT_FALSE(bpk_open("/missing.bpk2", false));
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(Bpk, VerifyChecksTheStructure) {
  std::string good =
      container({{bpk_type_rootfs, "root data"}, {bpk_type_kernel, "kernel"}});
  EXPECT_EQ(bpk_verify(open(good).get()), 0);

  for (int delta : {-1, +1, +24}) {
    std::string bytes = good;
    uint64_t length = bytes.size() + static_cast<uint64_t>(delta);
    std::string field;
    append_be64(&field, length);
    bytes.replace(8, 8, field);
    reseal(bytes);
    EXPECT_EQ(bpk_verify(open(bytes).get()), -1) << delta;
  }
  // Fewer than 24 bytes after the last complete entry.
  std::string tail = good + std::string(10, 'x');
  std::string field;
  append_be64(&field, tail.size());
  tail.replace(8, 8, field);
  reseal(tail);
  EXPECT_EQ(bpk_verify(open(tail).get()), -1);
}

TEST_F(Bpk, ReservedWordsAreCoveredButNotInterpreted) {
  // The header's second reserved word is the last of the bytes its CRC
  // covers: a chosen value there gives the container any CRC at all.
  struct Row {
    uint32_t crc;
    int verify;
  } rows[] = {{0x12345678, 0}, {0xFFFFFFFE, 0}, {0xFFFFFFFF, -1}};
  for (const Row& row : rows) {
    std::string bytes = container({});
    std::string covered =
        bytes.substr(0, 16) + std::string(4, '\0') + bytes.substr(20, 4);
    bytes.replace(24, 4, crc_forcing_tail(covered, row.crc));
    std::string stored;
    append_be32(&stored, row.crc);
    bytes.replace(16, 4, stored);
    PackagePtr p = open(bytes);
    uint32_t stored_crc = 0;
    EXPECT_EQ(bpk_container_crc(p.get(), &stored_crc), row.crc);
    EXPECT_EQ(stored_crc, row.crc);
    // 0xFFFFFFFF is what a failed walk gives: it never passes, even stored.
    EXPECT_EQ(bpk_verify(p.get()), row.verify) << std::hex << row.crc;
  }
  // Non-zero reserved words under a correct CRC: the header's two and an
  // entry's one.
  for (size_t at : {20u, 24u, 28u + 20u}) {
    std::string bytes = container({{bpk_type_kernel, "kernel"}});
    bytes[at] = 'R';
    reseal(bytes);
    PackagePtr p = open(bytes);
    EXPECT_EQ(bpk_verify(p.get()), 0) << at;
    uint64_t size = 0;
    EXPECT_EQ(bpk_find(p.get(), bpk_type_kernel, 0, &size, nullptr), 0) << at;
    EXPECT_EQ(size, 6u);
  }
}

TEST_F(Bpk, EntryDataWhoseCrcIs0xFFFFFFFFIsReadWhole) {
  // The value that also says "could not be read": told apart all the same.
  std::string data = "kernel" + crc_forcing_tail("kernel", 0xFFFFFFFF);
  ASSERT_EQ(crc32(data), 0xFFFFFFFFu);
  PackagePtr p = open(container({{bpk_type_kernel, data}}));
  ASSERT_EQ(bpk_find(p.get(), bpk_type_kernel, 0, nullptr, nullptr), 0);
  uint32_t crc = 0;
  EXPECT_EQ(bpk_entry_crc_checked(p.get(), &crc), 0);
  EXPECT_EQ(crc, 0xFFFFFFFFu);
}

TEST_F(Bpk, CutShortInsideTheLastDataStillVerifiesButItsCrcFails) {
  std::string good = container(
      {{bpk_type_rootfs, "root data"}, {bpk_type_kernel, "kernel image"}});
  PackagePtr cut = open(good.substr(0, good.size() - 3));
  EXPECT_EQ(bpk_verify(cut.get()), 0);
  ASSERT_EQ(bpk_find(cut.get(), bpk_type_kernel, 0, nullptr, nullptr), 0);
  EXPECT_EQ(bpk_entry_crc(cut.get()), bpk_crc_failed);
  uint32_t crc;
  EXPECT_EQ(bpk_entry_crc_checked(cut.get(), &crc), -1);

  // Cut before the last entry header: the structure walk fails.
  size_t second_header = 28 + 24 + 9;
  EXPECT_EQ(bpk_verify(open(good.substr(0, second_header + 10)).get()), -1);
}

TEST_F(Bpk, DataChangesShowInTheEntryCrcHeaderChangesInVerify) {
  std::string good = container(
      {{bpk_type_rootfs, "root data"}, {bpk_type_kernel, "kernel image"}});
  for (size_t i = 0; i < good.size(); ++i) {
    if (i >= 16 && i < 20) continue;  // the stored container CRC itself
    std::string bytes = good;
    bytes[i] ^= 0x01;
    bool data = (i >= 52 && i < 61) || i >= 85;
    PackagePtr p = open(bytes);
    if (!p) {
      EXPECT_LT(i, 8u);  // magic or version
      continue;
    }
    if (!data) {
      EXPECT_EQ(bpk_verify(p.get()), -1) << i;
      continue;
    }
    EXPECT_EQ(bpk_verify(p.get()), 0) << i;
    uint32_t stored;
    ASSERT_EQ(bpk_find(p.get(), i < 61 ? bpk_type_rootfs : bpk_type_kernel, 0,
                       nullptr, &stored),
              0);
    EXPECT_NE(bpk_entry_crc(p.get()), stored) << i;
  }
}

TEST_F(Bpk, FindTakesTheFirstMatchOfTypeAndVariant) {
  PackagePtr p = open(container({{bpk_type_kernel, "first"},
                                 {bpk_type_kernel, "second"},
                                 {bpk_type_rootfs, "v7", 7}}));
  uint64_t size = 0;
  uint32_t crc = 0;
  ASSERT_EQ(bpk_find(p.get(), bpk_type_kernel, 0, &size, &crc), 0);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(crc, crc32("first"));
  char buf[16] = {};
  EXPECT_EQ(bpk_read(p.get(), buf, sizeof buf), 5u);
  EXPECT_STREQ(buf, "first");
  EXPECT_EQ(bpk_find(p.get(), bpk_type_rootfs, 0, nullptr, nullptr), -1);
  EXPECT_EQ(p->entry_size, 0u);
  EXPECT_EQ(bpk_find(p.get(), bpk_type_rootfs, 7, &size, nullptr), 0);
  EXPECT_EQ(size, 2u);
}

TEST_F(Bpk, ReadIsClippedToTheEntry) {
  PackagePtr p = open(
      container({{bpk_type_kernel, "0123456789"}, {bpk_type_rootfs, "next"}}));
  ASSERT_EQ(bpk_find(p.get(), bpk_type_kernel, 0, nullptr, nullptr), 0);
  char buf[64] = {};
  EXPECT_EQ(bpk_read(p.get(), buf, 4), 4u);
  // The entry CRC covers the whole entry and keeps the reading position.
  EXPECT_EQ(bpk_entry_crc(p.get()), crc32("0123456789"));
  EXPECT_EQ(bpk_read(p.get(), buf, sizeof buf), 6u);
  EXPECT_EQ(std::string(buf, 6), "456789");
  // At the end of the entry the stream stays where it is, before the next
  // entry's header.
  off_t at = os::lseek(p->fd.get(), 0, SEEK_CUR);
  EXPECT_EQ(bpk_read(p.get(), buf, sizeof buf), 0u);
  EXPECT_EQ(os::lseek(p->fd.get(), 0, SEEK_CUR), at);
}

TEST_F(Bpk, NextWalksEveryEntryInFileOrder) {
  EXPECT_EQ(bpk_next(open(container({})).get(), nullptr, nullptr, nullptr),
            bpk_no_entry);
  PackagePtr p = open(container({{bpk_type_rootfs, "aaa"},
                                 {bpk_type_kernel, "bb", 3},
                                 {bpk_type_version, "1.0.0.0"}}));
  uint64_t size;
  uint32_t crc, variant;
  EXPECT_EQ(bpk_next(p.get(), &size, &crc, &variant), bpk_type_rootfs);
  EXPECT_EQ(size, 3u);
  char c;
  EXPECT_EQ(bpk_read(p.get(), &c, 1), 1u);  // part-read entries are skipped
  EXPECT_EQ(bpk_next(p.get(), &size, &crc, &variant), bpk_type_kernel);
  EXPECT_EQ(variant, 3u);
  EXPECT_EQ(crc, crc32("bb"));
  EXPECT_EQ(bpk_next(p.get(), &size, nullptr, nullptr), bpk_type_version);
  EXPECT_EQ(bpk_next(p.get(), nullptr, nullptr, nullptr), bpk_no_entry);
}

TEST_F(Bpk, EntriesBeyondTheRecordedLengthAreNeverSeen) {
  std::string one = container({{bpk_type_rootfs, "aaa"}});
  std::string two =
      container({{bpk_type_rootfs, "aaa"}, {bpk_type_kernel, "k"}});
  std::string bytes = one + two.substr(one.size());
  PackagePtr p = open(bytes);
  EXPECT_EQ(bpk_find(p.get(), bpk_type_kernel, 0, nullptr, nullptr), -1);
}

TEST_F(Bpk, OpenForUpdateOfAShortFileAppendsAHeaderAndFails) {
  device.put("/short", "abc");
  errno = 0;
  EXPECT_FALSE(bpk_open("/short", true));
  EXPECT_EQ(errno, EILSEQ);
  EXPECT_EQ(device.get("/short").size(), 3u + 28u);
  // A missing file opened for update becomes an empty container.
  EXPECT_TRUE(bpk_open("/fresh", true));
  EXPECT_EQ(device.get("/fresh"), container({}));
}

TEST_F(Bpk, AddingToAnOpenedContainerGoesAtItsOldLength) {
  std::string base = container({{bpk_type_rootfs, "aaa"}});
  {
    PackagePtr p = open(base + "garbage that follows the container", true);
    ASSERT_TRUE(p);
    device.put("/k", "kk");
    ASSERT_EQ(bpk_add_file(p.get(), bpk_type_kernel, 0, "/k"), 0);
  }
  std::string after = device.get("/pkg.bpk2");
  std::string expected =
      container({{bpk_type_rootfs, "aaa"}, {bpk_type_kernel, "kk"}});
  ASSERT_EQ(after.substr(0, expected.size()), expected);
  EXPECT_EQ(after.substr(expected.size()), "ontainer");
}

TEST_F(Bpk, ACreatedContainerVerifiesOnlyOnceClosed) {
  PackagePtr p = bpk_create("/c.bpk2");
  device.put("/k", "kk");
  ASSERT_EQ(bpk_add_file(p.get(), bpk_type_kernel, 0, "/k"), 0);
  EXPECT_EQ(bpk_verify(p.get()), -1);
  p.reset();
  EXPECT_EQ(bpk_verify(bpk_open("/c.bpk2", false).get()), 0);
}

TEST_F(Bpk, AddStreamReportsItsFailures) {
  PackagePtr p = bpk_create("/s.bpk2");
  int calls = 0;
  auto failing = [](void* buffer, size_t, void* context) -> ssize_t {
    std::memset(buffer, 'x', 10);
    return ++*static_cast<int*>(context) < 3 ? 10 : -1;
  };
  errno = 0;
  EXPECT_EQ(bpk_add_stream(p.get(), 1, 0, failing, &calls), -4);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(bpk_add_file(p.get(), 1, 0, "/missing"), -1);
  EXPECT_EQ(errno, ENOENT);
  // The failed entry stays: header and 20 data bytes.
  EXPECT_EQ(p->end, 28u + 24u + 20u);
}

TEST_F(Bpk, ExtractCopiesTheRestOfTheEntry) {
  std::string data = random_bytes(5000, 2);
  std::string bytes =
      container({{bpk_type_rootfs, data}, {bpk_type_kernel, "k"}});
  PackagePtr p = open(bytes);
  ASSERT_EQ(bpk_find(p.get(), bpk_type_rootfs, 0, nullptr, nullptr), 0);
  ASSERT_EQ(bpk_extract(p.get(), "/out"), 0);
  EXPECT_EQ(device.get("/out"), data);
  EXPECT_EQ(p->entry_size, 0u);
  EXPECT_EQ(bpk_extract(p.get(), "/no/dir/out"), -1);

  // A container that ends inside the entry is not a sound copy.
  PackagePtr cut = open(bytes.substr(0, 28 + 24 + 3000));
  ASSERT_EQ(bpk_find(cut.get(), bpk_type_rootfs, 0, nullptr, nullptr), 0);
  errno = 0;
  EXPECT_EQ(bpk_extract(cut.get(), "/out2"), -4);
  EXPECT_EQ(errno, ENODATA);
}

TEST_F(Bpk, WritesThatFailAreTellingResults) {
  // The nth write after the container exists fails with ENOSPC.
  struct Row {
    const char* what;
    uint32_t nth;
    int result;
  } rows[] = {{"add_stream header", 1, -2},
              {"add_stream data", 2, -3},
              {"add_file header", 1, -2},
              {"add_file data", 2, -3},
              {"extract", 1, -3}};
  device.put("/data", "0123456789");
  device.put("/in.bpk2", container({{bpk_type_kernel, "0123456789"}}));
  for (const Row& row : rows) {
    std::string what = row.what;
    PackagePtr in = bpk_open("/in.bpk2", false);
    ASSERT_EQ(bpk_find(in.get(), bpk_type_kernel, 0, nullptr, nullptr), 0);
    PackagePtr out = bpk_create("/out.bpk2");
    ASSERT_TRUE(sim::inject_fault("write", "", row.nth, ENOSPC));
    errno = 0;
    int result = 0;
    if (what == "add_stream header" || what == "add_stream data") {
      result = bpk_add_stream(
          out.get(), bpk_type_kernel, 0,
          [](void* buffer, size_t capacity, void* package) -> ssize_t {
            return static_cast<ssize_t>(
                bpk_read(static_cast<PackageFile*>(package), buffer, capacity));
          },
          in.get());
    } else if (what == "extract") {
      result = bpk_extract(in.get(), "/extracted");
    } else {
      result = bpk_add_file(out.get(), bpk_type_kernel, 0, "/data");
    }
    EXPECT_EQ(result, row.result) << what;
    EXPECT_EQ(errno, ENOSPC) << what;
  }
}
