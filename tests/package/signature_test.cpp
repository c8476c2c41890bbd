// Signed packages as a device with trusted keys checks them: every
// container here has sound CRCs, so that only the signature can refuse it.
#include "package/signature.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "package/install.h"
#include "package/validate.h"
#include "tests/package/package_bytes.h"
#include "tests/sim_device.h"

using namespace test_bytes;

namespace {

struct KeyPair {
  PublicKey public_key;
  SecretKey secret_key;
};

KeyPair new_key() {
  KeyPair k;
  key_pair_new(&k.public_key, &k.secret_key);
  return k;
}

Digest digest_of(const std::string& data) {
  Digest d;
  crypto_generichash(d.data(), d.size(),
                     reinterpret_cast<const unsigned char*>(data.data()),
                     data.size(), nullptr, 0);
  return d;
}

// The signature entry over entries (signature entries among them are
// left out, as the device leaves them out).
Entry signature_over(const std::vector<Entry>& entries, const KeyPair& key) {
  Manifest m;
  m.key_id = key_id_of(key.public_key);
  for (const Entry& e : entries) {
    if (e.type == bpk_type_signature) continue;
    m.entries.push_back({e.type, e.variant, e.data.size(), digest_of(e.data)});
  }
  return {bpk_type_signature, signature_entry_bytes(m, key.secret_key)};
}

const Entry rootfs{bpk_type_rootfs, std::string(5000, 'r')};
const Entry kernel{bpk_type_kernel, std::string(3000, 'k')};
const Entry version{bpk_type_version, "1.2.3.4"};
const Entry other{0x11111111, "other"};

class SignedPackage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(signature_library_ready()); }

  // Validation with trusted as the device's keys; the lines it printed.
  int validate(const std::vector<Entry>& entries, std::string* lines,
               ValidatedPackage* images = nullptr) {
    device.put("/pkg.bpk2", container(entries));
    PackagePtr p = bpk_open("/pkg.bpk2", false);
    SignatureHooks hooks = signature_hooks(&trusted.public_key, 1);
    sim::clear_console();
    int rc = validate_package(p.get(), images, &hooks);
    *lines = SimDevice::console(2);
    return rc;
  }

  SimDevice device;
  KeyPair trusted = new_key();
  KeyPair stranger = new_key();
  std::vector<Entry> signed_entries() {
    std::vector<Entry> e = {rootfs, kernel, version};
    e.push_back(signature_over(e, trusted));
    return e;
  }
};

constexpr char unsigned_line[] = "Failed to find signature partition\n";
constexpr char refused_line[] = "Failed to validate signature\n";

}  // namespace

TEST_F(SignedPackage, PackagesAsSignedOrNot) {
  std::vector<Entry> base = {rootfs, kernel, version};
  Entry good = signature_over(base, trusted);
  Entry by_stranger = signature_over(base, stranger);
  Entry truncated = good;
  truncated.data.pop_back();
  Entry out_of_order = signature_over({kernel, rootfs, version}, trusted);
  Entry with_other = signature_over({rootfs, kernel, version, other}, trusted);
  Entry listed_twice =
      signature_over({rootfs, kernel, kernel, version}, trusted);
  Entry second_variant = {bpk_type_signature, good.data, 1};
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    const char* lines;
  };
  const std::vector<Case> cases = {
      {"signed", {rootfs, kernel, version, good}, ""},
      {"the signature first", {good, rootfs, kernel, version}, ""},
      {"unsigned", base, unsigned_line},
      {"a signature of another variant only",
       {rootfs, kernel, version, second_variant},
       unsigned_line},
      {"by an untrusted key",
       {rootfs, kernel, version, by_stranger},
       refused_line},
      {"a bad and a good signature",
       {rootfs, kernel, version, by_stranger, good},
       ""},
      {"a good and a bad signature",
       {rootfs, kernel, version, good, truncated},
       ""},
      {"a truncated signature",
       {rootfs, kernel, version, truncated},
       refused_line},
      {"listed out of order",
       {rootfs, kernel, version, out_of_order},
       refused_line},
      {"an entry added first",
       {other, rootfs, kernel, version, good},
       refused_line},
      {"an entry added between",
       {rootfs, other, kernel, version, good},
       refused_line},
      {"an entry added last",
       {rootfs, kernel, version, good, other},
       refused_line},
      {"an entry removed", {rootfs, kernel, with_other}, refused_line},
      {"an entry listed twice",
       {rootfs, kernel, version, listed_twice},
       refused_line},
  };
  for (const Case& c : cases) {
    std::string lines;
    EXPECT_EQ(validate(c.entries, &lines), c.lines[0] == '\0' ? 0 : -1)
        << c.what;
    EXPECT_EQ(lines, c.lines) << c.what;
  }
}

TEST_F(SignedPackage, MoreEntriesThanAManifestCanListAreRefused) {
  // 21845 entries fit a 1 MiB signature entry; these could not be signed.
  std::vector<Entry> entries = {rootfs, kernel};
  entries.resize(21846 + 2, Entry{0x11111111, ""});
  entries.push_back(signature_over({rootfs, kernel}, trusted));
  std::string lines;
  EXPECT_EQ(validate(entries, &lines), -1);
  EXPECT_EQ(lines, refused_line);
  // Seventeen signatures, the good one last: more than anyone signs with.
  std::vector<Entry> many = {rootfs, kernel};
  many.resize(2 + 16, signature_over({rootfs, kernel}, stranger));
  many.push_back(signature_over({rootfs, kernel}, trusted));
  EXPECT_EQ(validate(many, &lines), -1);
  EXPECT_EQ(lines, refused_line);
}

TEST_F(SignedPackage, OneByteChangedInAnyEntryIsRefused) {
  // The CRCs are made anew for the changed data: only the digest tells.
  const std::vector<Entry> sound = signed_entries();
  for (size_t n = 0; n < sound.size(); ++n) {
    for (size_t at : {size_t{0}, sound[n].data.size() - 1}) {
      std::vector<Entry> changed = sound;
      changed[n].data[at] ^= 0x01;
      std::string lines;
      EXPECT_EQ(validate(changed, &lines), -1)
          << "entry " << n << " byte " << at;
      EXPECT_EQ(lines, refused_line) << "entry " << n << " byte " << at;
    }
  }
}

TEST_F(SignedPackage, ValidationGivesTheImagesDigests) {
  std::string lines;
  ValidatedPackage images;
  ASSERT_EQ(validate(signed_entries(), &lines, &images), 0);
  EXPECT_EQ(images.kernel.digest, digest_of(kernel.data));
  EXPECT_EQ(images.rootfs.digest, digest_of(rootfs.data));
}

TEST_F(SignedPackage, EntryBytesRoundTripAndRefuseAnyOtherLength) {
  Entry entry = signature_over({rootfs, kernel}, trusted);
  std::optional<SignatureEntry> parsed = signature_entry_parse(entry.data);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->manifest.key_id, key_id_of(trusted.public_key));
  ASSERT_EQ(parsed->manifest.entries.size(), 2u);
  EXPECT_EQ(parsed->manifest.entries[1].type, bpk_type_kernel);
  EXPECT_EQ(parsed->manifest.entries[1].size, kernel.data.size());
  for (std::string bad : {entry.data + "x", entry.data.substr(1),
                          entry.data.substr(0, 16), std::string()}) {
    EXPECT_FALSE(signature_entry_parse(bad)) << bad.size();
  }
}

TEST_F(SignedPackage, ASecondReadWithOtherDataLeavesNoImageBehind) {
  // The medium serves other rootfs data once validated, with the same CRC
  // (the last four bytes chosen for it): the CRC read-back cannot tell, the
  // digest of what was streamed does.
  std::vector<Entry> entries = signed_entries();
  std::string lines;
  ValidatedPackage images;
  ASSERT_EQ(validate(entries, &lines, &images), 0);
  std::string body = entries[0].data.substr(0, entries[0].data.size() - 4);
  body[0] ^= 0x01;
  entries[0].data = body + crc_forcing_tail(body, crc32(rootfs.data));
  ASSERT_EQ(crc32(entries[0].data), crc32(rootfs.data));
  device.put("/pkg.bpk2", container(entries));
  PackagePtr p = bpk_open("/pkg.bpk2", false);
  UbiInfoPtr info = ubi_info_for_mtd("nand0.ubi");
  SignatureHooks hooks = signature_hooks(&trusted.public_key, 1);
  sim::clear_console();
  EXPECT_EQ(install_image(p.get(), images.rootfs, "rootfs", info.get(), &hooks),
            -1);
  EXPECT_EQ(SimDevice::console(2),
            "Creating volume: rootfs\n"
            "Failed to flash firmware, signature mismatch on rootfs\n");
  EXPECT_EQ(ubi_volume_find(info.get(), "rootfs"), nullptr);
  ubi_detach(info.get());
}

// Key files as people write them: velnor-pack and the device build's
// reading (cmake/key_file.cmake, run in script mode) take the same keys
// from each, or both refuse it.
TEST(KeyFiles, TheToolAndTheDeviceBuildReadTheSame) {
  const std::string key(64, 'a'), other(64, '7');
  struct Row {
    std::string text;
    std::vector<std::string> keys;  // none: refused
  };
  const Row rows[] = {
      {key + "\n", {key}},
      {key, {key}},  // no line end
      {"\xEF\xBB\xBF" + key + "\r\n" + other + "\r\n", {key, other}},
      {"# trusted\n\n  " + key + "  \n\t" + other + "\t\n", {key, other}},
      {"   # an indented comment\n" + key + "\n", {key}},
      {key + " # a comment after the key\n", {}},
      {key.substr(1) + "\n", {}},
      {key + "0\n", {}},
      {std::string(64, 'g') + "\n", {}},
      {"# nothing but comments\n\n", {}},
  };
  test_support::ScratchDir scratch;
  std::string path = scratch / "keys.pub";
  for (const Row& row : rows) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << row.text;
    std::optional<std::vector<PublicKey>> read = public_keys_read(path.c_str());
    std::vector<std::string> tool;
    for (const PublicKey& k : read.value_or(std::vector<PublicKey>{}))
      tool.push_back(key_text(k.data(), k.size()));
    EXPECT_EQ(tool, row.keys) << row.text;
#ifdef VELNOR_CMAKE
    std::string command = std::string(VELNOR_CMAKE) + " -DKEYFILE=" + path +
                          " -P " VELNOR_SOURCE
                          "/cmake/key_file.cmake 2>/dev/null";
    std::FILE* out = ::popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::vector<std::string> build;
    char line[256];
    while (std::fgets(line, sizeof line, out)) {
      std::string l = line;
      if (!l.empty() && l.back() == '\n') l.pop_back();
      build.push_back(l);
    }
    int status = ::pclose(out);
    EXPECT_EQ(status == 0, !row.keys.empty()) << row.text;
    if (status == 0) {
      EXPECT_EQ(build, row.keys) << row.text;
    }
#endif
  }
}
