// velnor-pack as firmware builders run it: a separate program, its output and
// exit status, and the files it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/package/package_bytes.h"
#include "tests/program_run.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

using Result = ProgramRun;

class VelnorPack : public test_support::ProgramTest {
 protected:
  Result run(std::vector<std::string> args) {
    args.insert(args.begin(), VELNOR_PACK);
    return ProgramTest::run(args);
  }

  std::string put(const std::string& name, const std::string& content) {
    std::ofstream(dir / name, std::ios::binary) << content;
    return dir / name;
  }

  std::string put_random(const std::string& name, size_t n, unsigned seed) {
    return scratch.put(name, test_support::random_image(n, seed));
  }
};

}  // namespace

TEST_F(VelnorPack, RoundTripsImagesOfEverySize) {
  for (size_t size : {1u, 2047u, 2048u, 2049u, 1u << 20}) {
    std::string kernel = put_random("kernel", size, 1);
    std::string rootfs = put_random("rootfs", size + 3, 2);
    std::string pkg = dir / "fw.bpk2";
    ASSERT_EQ(run({"create", pkg, "--force", "--kernel", kernel, "--rootfs",
                   rootfs, "--version", "1.2.3.4+r"})
                  .status,
              0)
        << size;
    EXPECT_EQ(run({"verify", pkg}).status, 0);
    ASSERT_EQ(run({"extract", "--force", pkg, "kernel", dir / "k.out"}).status,
              0);
    ASSERT_EQ(
        run({"extract", "--force", pkg, "rootfs:0", dir / "r.out"}).status, 0);
    EXPECT_EQ(slurp(dir / "k.out"), slurp(kernel)) << size;
    EXPECT_EQ(slurp(dir / "r.out"), slurp(rootfs)) << size;
    Result v = run({"version", pkg});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "1.2.3.4+r\n");
  }
}

TEST_F(VelnorPack, ListsEntriesInFileOrder) {
  std::string pkg = dir / "fw.bpk2";
  ASSERT_EQ(run({"create", pkg, "--kernel", put("k", "kernel"), "--rootfs",
                 put("r", "rootfs!"), "--version", "2.0.0.1", "--add",
                 "0x11223344:5=" + put("x", "extra")})
                .status,
            0);
  Result list = run({"list", pkg});
  EXPECT_EQ(list.status, 0);
  EXPECT_EQ(list.out,
            "0x50524653 rootfs variant 0 size 7 crc e427f95d ok\n"
            "0x504b4552 kernel variant 0 size 6 crc 5dd29aab ok\n"
            "0x46575600 version variant 0 size 7 crc 0048834e ok\n"
            "0x11223344 variant 5 size 5 crc 4d3f0d65 ok\n");
  ASSERT_EQ(run({"extract", pkg, "0x11223344:5", dir / "x.out"}).status, 0);
  EXPECT_EQ(slurp(dir / "x.out"), "extra");
  EXPECT_EQ(run({"extract", pkg, "0x11223344", dir / "none"}).status, 1);
}

TEST_F(VelnorPack, DamagedPackagesAreReportedAsTheDeviceWould) {
  std::string pkg = dir / "fw.bpk2";
  ASSERT_EQ(run({"create", pkg, "--kernel", put("k", "kernel"), "--rootfs",
                 put("r", "rootfs")})
                .status,
            0);
  std::string bytes = slurp(pkg);
  bytes[bytes.size() - 2] ^= 1;  // kernel data, written second
  put("bad.bpk2", bytes);
  Result verify = run({"verify", dir / "bad.bpk2"});
  EXPECT_EQ(verify.status, 1);
  EXPECT_EQ(verify.err, "Failed to validate kernel CRC\n");
  Result list = run({"list", dir / "bad.bpk2"});
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.out.find("kernel variant 0 size 6 crc 5dd29aab BAD"),
            std::string::npos);
  EXPECT_EQ(run({"extract", dir / "bad.bpk2", "kernel", dir / "k.out"}).status,
            1);
  EXPECT_FALSE(fs::exists(dir / "k.out"));

  put("junk", "this is not a package at all");
  Result junk = run({"verify", dir / "junk"});
  EXPECT_EQ(junk.status, 1);
  EXPECT_EQ(junk.err,
            "Failed to open bpk file: " + (dir / "junk").string() + "\n");
  EXPECT_EQ(run({"verify", dir / "missing"}).status, 1);
  EXPECT_EQ(run({"version", pkg}).status, 1);  // no version entry
}

TEST_F(VelnorPack, FailedCreateLeavesNoPackage) {
  std::string pkg = dir / "fw.bpk2";
  Result bad_version = run({"create", pkg, "--kernel", put("k", "k"),
                            "--rootfs", put("r", "r"), "--version", "1.2.3"});
  EXPECT_EQ(bad_version.status, 1);
  Result missing = run(
      {"create", pkg, "--kernel", dir / "nothing", "--rootfs", put("r", "r")});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos);
  // Nothing left: neither the package nor its temporary.
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(dir)) {
    left.push_back(e.path().filename());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".err", ".out", "k", "r"}));
}

// What a device could never boot or read is said before anything is
// written: a rootfs of another kind (a warning), a package of 2 GiB or more
// (refused at once, the image never read).
TEST_F(VelnorPack, ImagesTheDeviceCannotUse) {
  std::string pkg = dir / "fw.bpk2";
  std::string warning =
      "velnor-pack: warning: the rootfs image " + dir.string() +
      "/r does not begin as a squashfs image does: the device mounts nothing "
      "else, and such a package installs and then cannot boot\n";
  Result made = run(
      {"create", pkg, "--kernel", put("k", "k"), "--rootfs", put("r", "ext4")});
  EXPECT_EQ(made.status, 0);
  EXPECT_EQ(made.err, warning);
  Result checked = run({"verify", pkg});
  EXPECT_EQ(checked.status, 0);
  EXPECT_EQ(checked.err, "velnor-pack: warning: the rootfs entry of " + pkg +
                             warning.substr(warning.find(" does not")));
  std::string huge = dir / "huge";
  ASSERT_EQ(::truncate(put("huge", "").c_str(), (2ll << 30) - 60), 0);
  Result big = run({"create", dir / "big.bpk2", "--kernel", huge, "--rootfs",
                    put("r", "hsqs")});
  EXPECT_EQ(big.status, 1);
  EXPECT_EQ(big.err,
            "velnor-pack: the package would take 2147483668 bytes: a package "
            "must stay below 2 GiB (2147483648 bytes)\n");
  EXPECT_FALSE(fs::exists(dir / "big.bpk2"));
}

TEST_F(VelnorPack, UsageErrorsExitWith2) {
  EXPECT_EQ(run({}).status, 2);
  EXPECT_EQ(run({"frobnicate", "x"}).status, 2);
  EXPECT_EQ(run({"create", dir / "p", "--kernel", "k"}).status, 2);
  EXPECT_EQ(run({"create", dir / "p", "--kernel", "k", "--rootfs", "r",
                 "--bogus", "1"})
                .status,
            2);
  EXPECT_EQ(run({"create", dir / "p", "--kernel", "k", "--rootfs", "r", "--add",
                 "kernel"})
                .status,
            2);
  EXPECT_EQ(run({"create", dir / "p", "--kernel", "k", "--rootfs", "r", "--add",
                 "0xDEADBEEF=k"})
                .status,
            2);
  EXPECT_EQ(run({"extract", dir / "p", "nonsense", "f"}).status, 2);
  EXPECT_EQ(run({"list", dir / "p", "extra"}).status, 2);
  for (const char* board : {"", "two words", "a/b", "n\xc3\xa4me"}) {
    EXPECT_EQ(run({"create", dir / "p", "--kernel", "k", "--rootfs", "r",
                   "--compatible", board})
                  .status,
              2)
        << board;
  }
  EXPECT_EQ(
      run({"verify", dir / "p", "--compatible", "a", "--compatible=b"}).status,
      2);
  Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("velnor-pack create PKG"), std::string::npos);
}

// The command lines builders write: options before, between or after the
// operands, "--opt=value", "--" before an operand, help on every verb, "-"
// for standard input and output.
TEST_F(VelnorPack, CommandLinesInEveryForm) {
  std::string k = put("k", "kernel"), r = put("r", "hsqs-root");
  std::string pkg = dir / "fw.bpk2";
  ASSERT_EQ(run({"create", "--kernel=" + k, pkg, "--rootfs", r, "--version",
                 "1.0.0.0"})
                .status,
            0);
  std::string key = (dir / "a").string();
  ASSERT_EQ(run({"keygen", key}).status, 0);
  ASSERT_EQ(run({"sign", "--key=" + key + ".key", pkg}).status, 0);
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out_start;  // of standard output
  } rows[] = {
      {{"list", pkg, "--json"}, 0, "{"},
      {{"list", "--json", pkg}, 0, "{"},
      {{"verify", pkg, "--json", "--key", key + ".pub"}, 0, "{"},
      {{"verify", "--key=" + key + ".pub", "--min-version=1.0.0.0", pkg},
       0,
       ""},
      {{"verify", "--", pkg}, 0, ""},
      {{"version", pkg}, 0, "1.0.0.0\n"},
      {{"extract", pkg, "kernel", "-"}, 0, "kernel"},
      {{"create", "--help", "--kernel", k, "--rootfs", r},
       0,
       "usage: velnor-pack create PKG"},
      {{"list", "-h"}, 0, "usage: velnor-pack list"},
      {{"sign", "--help"}, 0, "usage: velnor-pack sign"},
      {{"list", pkg, "--key", key + ".pub"}, 2, ""},
      {{"verify", pkg, "--key"}, 2, ""},
      {{"verify", pkg, "--bogus"}, 2, ""},
      {{"version", pkg, pkg}, 2, ""},
      {{"keygen"}, 2, ""},
  };
  for (const Row& row : rows) {
    Result got = run(row.args);
    std::string line;
    for (const std::string& a : row.args) line += a + " ";
    EXPECT_EQ(got.status, row.status) << line << got.err;
    EXPECT_EQ(got.out.rfind(row.out_start, 0), 0u) << line << got.out;
  }
  Result usage = run({"list", pkg, "--key", key + ".pub"});
  EXPECT_EQ(usage.err,
            "velnor-pack: list takes no --key\nusage: velnor-pack list "
            "[--json] PKG\n");
  // The package on standard input.
  Result piped = ProgramTest::run(
      {"/bin/sh", "-c", std::string(VELNOR_PACK) + " version - < " + pkg});
  EXPECT_EQ(piped.out, "1.0.0.0\n") << piped.err;
}

TEST_F(VelnorPack, MemoryDoesNotGrowWithTheImage) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's own allocations swamp the measurement";
#endif
  auto peak = [&](size_t size) {
    std::string image = put_random("image", size, 3);
    std::string pkg = dir / "big.bpk2";
    long worst = 0;
    for (Result r :
         {run({"create", "--force", pkg, "--kernel", image, "--rootfs", image}),
          run({"verify", pkg}), run({"list", pkg}),
          run({"extract", "--force", pkg, "rootfs", dir / "out"})}) {
      EXPECT_EQ(r.status, 0) << r.err;
      worst = std::max(worst, r.max_rss_kb);
    }
    EXPECT_EQ(fs::file_size(dir / "out"), size);
    return worst;
  };
  long small = peak(1 << 20);
  long large = peak(64 << 20);
  EXPECT_LT(large - small, 1024) << small << " KiB vs " << large << " KiB";
}

// Failures name their cause and leave nothing behind: no partial output,
// no temporary file, the package whole.
TEST_F(VelnorPack, FailuresLeaveNoFileBehind) {
  std::string kernel = put_random("kernel", 5000, 1);
  std::string rootfs = put_random("rootfs", 300000, 2);
  std::string pkg = dir / "fw.bpk2";
  ASSERT_EQ(run({"create", pkg, "--kernel", kernel, "--rootfs", rootfs}).status,
            0);
  std::string package = slurp(pkg);
  fs::create_directory(dir / "images");
  put("empty", "");
  const std::string limit = "--fsize=100000";  // a file size limit
  struct Case {
    std::vector<std::string> args;
    std::string error;     // a piece of the error line
    std::string left_out;  // what must not exist afterwards
  } cases[] = {
      {{"extract", pkg, "kernel", pkg}, "which this reads", ""},
      {{"prlimit", limit, VELNOR_PACK, "extract", pkg, "rootfs", dir / "r.out"},
       "File too large",
       dir / "r.out"},
      {{"create", dir / "new.bpk2", "--kernel", dir / "images", "--rootfs",
        rootfs},
       "cannot read " + (dir / "images").string() + ": Is a directory",
       dir / "new.bpk2"},
      {{"prlimit", limit, VELNOR_PACK, "create", dir / "new.bpk2", "--kernel",
        kernel, "--rootfs", rootfs},
       "File too large",
       dir / "new.bpk2"},
      {{"create", dir / "new.bpk2", "--kernel", dir / "empty", "--rootfs",
        rootfs},
       "is empty",
       dir / "new.bpk2"},
  };
  for (Case& c : cases) {
    if (c.args[0] == "prlimit") {
      c.args[0] = "/usr/bin/prlimit";
    } else {
      c.args.insert(c.args.begin(), VELNOR_PACK);
    }
    Result r = run_program_in(dir, c.args);
    EXPECT_EQ(r.status, 1) << c.args[1];
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    if (!c.left_out.empty()) {
      EXPECT_FALSE(fs::exists(c.left_out));
    }
    for (const auto& e : fs::directory_iterator(dir)) {
      EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
    }
    EXPECT_EQ(slurp(pkg), package);
  }
}

TEST_F(VelnorPack, ReadsWhatTheDeviceReadsAndNothingThatBlocks) {
  using namespace test_bytes;
  // An entry of type 0xDEADBEEF does not end the listing: the device still
  // finds the kernel behind it.
  std::string odd =
      put("odd.bpk2", container({{0xDEADBEEF, "x"}, {bpk_type_kernel, "k"}}));
  Result r = run({"list", odd});
  EXPECT_NE(r.out.find("0xdeadbeef variant 0 size 1"), std::string::npos);
  EXPECT_NE(r.out.find("0x504b4552 kernel"), std::string::npos);

  // A version entry whose data does not match its CRC is not read out.
  std::string bytes = container({{bpk_type_version, "1.2.3.4"}});
  bytes.back() = '5';
  r = run({"version", put("bad.bpk2", bytes)});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is damaged"), std::string::npos);

  // A FIFO is refused at once, not waited on.
  std::string fifo = dir / "fifo.bpk2";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  for (const char* command : {"verify", "list", "version"}) {
    r = run_program_in(dir, {VELNOR_PACK, command, fifo}, 10);
    EXPECT_EQ(r.status, 1) << command;
  }
  EXPECT_EQ(r.err,
            "velnor-pack: cannot open " + fifo + ": not a regular file\n");
}

TEST_F(VelnorPack, JsonForScripts) {
  using namespace test_bytes;
  std::string bytes = container({{bpk_type_rootfs, "hsqs"},
                                 {bpk_type_kernel, "kernel"},
                                 {bpk_type_version, "2.0.0.1"}});
  bytes[28 + 24 + 4 + 24] ^= 1;  // the kernel's first data byte
  std::string pkg = put("damaged.bpk2", bytes);

  Result r = run({"list", "--json", pkg});
  EXPECT_EQ(r.status, 1);
  auto list = nlohmann::json::parse(r.out);
  EXPECT_EQ(list["ok"], false);
  EXPECT_EQ(list["container"]["ok"], true);
  EXPECT_EQ(list["version"], "2.0.0.1");
  ASSERT_EQ(list["entries"].size(), 3u);
  EXPECT_EQ(list["entries"][1]["name"], "kernel");
  EXPECT_EQ(list["entries"][1]["size"], 6);
  EXPECT_EQ(list["entries"][1]["ok"], false);
  EXPECT_NE(list["entries"][1]["stored_crc"],
            list["entries"][1]["computed_crc"]);

  EXPECT_EQ(list["schema"], 1);
  // What cannot be opened still gives a document, with the reason.
  for (const char* verb : {"list", "verify"}) {
    r = run({verb, "--json", dir / "missing.bpk2"});
    EXPECT_EQ(r.status, 1);
    auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["ok"], false);
    EXPECT_EQ(doc["error"], "cannot open " + (dir / "missing.bpk2").string() +
                                ": No such file or directory");
  }

  r = run({"verify", "--json", pkg});
  EXPECT_EQ(r.status, 1);
  auto verify = nlohmann::json::parse(r.out);
  EXPECT_EQ(verify["check"]["ok"], false);
  EXPECT_EQ(verify["check"]["lines"],
            nlohmann::json::array({"Failed to validate kernel CRC"}));
}

// Packages that name the boards they are for, and the check of a device
// built with a board name.
TEST_F(VelnorPack, PackagesThatNameTheirBoards) {
  std::string k = put("k", "kernel"), r = put("r", "hsqs-root");
  struct Row {
    std::vector<std::string> boards;  // --compatible of create
    const char* device;               // --compatible of verify, or none
    int status;
  };
  const Row rows[] = {
      {{"board-a"}, "board-a", 0},
      {{"board-a"}, "board-b", 1},
      {{"board-a"}, nullptr, 0},  // a device without a name ignores them
      {{}, "board-a", 0},         // a package that names none goes anywhere
      {{"board-b", "board-a"}, "board-a", 0},
      {{"board-b", "board-c"}, "board-a", 1},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {
        "create", "--force", dir / "fw.bpk2", "--kernel", k, "--rootfs", r};
    for (const std::string& b : row.boards)
      args.insert(args.end(), {"--compatible", b});
    ASSERT_EQ(run(args).status, 0);
    std::vector<std::string> verify = {"verify", dir / "fw.bpk2"};
    if (row.device) verify.insert(verify.end(), {"--compatible", row.device});
    Result v = run(verify);
    EXPECT_EQ(v.status, row.status) << v.err;
    EXPECT_EQ(v.err, row.status ? "Failed to validate compatible\n" : "");
    auto doc =
        nlohmann::json::parse(run({"list", "--json", dir / "fw.bpk2"}).out);
    EXPECT_EQ(doc["compatible"], nlohmann::json(row.boards));
  }
  Result list = run({"list", dir / "fw.bpk2"});
  EXPECT_NE(list.out.find("0x434d5000 compatible variant 0 size 7 crc "),
            std::string::npos)
      << list.out;
  // Damaged, the entry names no board the device could trust.
  std::string bytes = slurp(dir / "fw.bpk2");
  bytes[bytes.size() - 1] ^= 1;
  put("damaged.bpk2", bytes);
  EXPECT_EQ(
      run({"verify", dir / "damaged.bpk2", "--compatible", "board-c"}).err,
      "Failed to validate compatible\n");
}

TEST_F(VelnorPack, KeysSigningAndTheKeyedCheck) {
  std::string pkg = dir / "fw.bpk2";
  ASSERT_EQ(run({"create", pkg, "--kernel", put_random("k", 3000, 1),
                 "--rootfs", put_random("r", 9000, 2)})
                .status,
            0);
  std::string a = dir / "a", b = dir / "b";
  Result made = run({"keygen", a});
  ASSERT_EQ(made.status, 0) << made.err;
  ASSERT_EQ(run({"keygen", b}).status, 0);
  struct stat st;
  ASSERT_EQ(stat((a + ".key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A secret key is never written over.
  EXPECT_EQ(run({"keygen", a}).status, 1);
  EXPECT_EQ(run({"verify", pkg, "--key", a + ".pub"}).status, 1);
  // Signing again with one key replaces its signature; another key's stays.
  for (const std::string& key : {a, b, a}) {
    Result s = run({"sign", pkg, "--key", key + ".key"});
    ASSERT_EQ(s.status, 0) << s.err;
  }
  Result listed = run({"list", pkg});
  EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 4)
      << listed.out;
  EXPECT_NE(listed.out.find(made.out.substr(7, 16)), std::string::npos)
      << "key id " << made.out << " in " << listed.out;
  for (const std::string& key : {a, b})
    EXPECT_EQ(run({"verify", pkg, "--key", key + ".pub"}).status, 0) << key;
  EXPECT_EQ(run({"verify", pkg}).status, 0);  // an unkeyed device's check
  // The key from a CI secret or standard input; a key file others may read
  // signs, with a warning.
  std::string secret = slurp(a + ".key");
  EXPECT_EQ(
      run_program_in(dir, {VELNOR_PACK, "sign", pkg, "--key-env", "SIGNING"}, 0,
                     {"SIGNING=" + secret})
          .status,
      0);
  Result unset = run({"sign", pkg, "--key-env", "VELNOR_NO_SUCH_KEY"});
  EXPECT_EQ(unset.err,
            "velnor-pack: $VELNOR_NO_SUCH_KEY holds no secret key\n");
  Result piped = run_program_in(dir, {"/bin/sh", "-c",
                                      std::string(VELNOR_PACK) + " sign " +
                                          pkg + " --key - < " + a + ".key"});
  EXPECT_EQ(piped.status, 0) << piped.err;
  std::string open_key = put("open.key", secret);
  ::chmod(open_key.c_str(), 0644);
  Result warned = run({"sign", pkg, "--key", open_key});
  EXPECT_EQ(warned.status, 0);
  EXPECT_NE(warned.err.find("warning: " + open_key + " is readable by group"),
            std::string::npos)
      << warned.err;
  // A damaged package is not signed; nor is a key file that holds none.
  std::string bytes = slurp(pkg);
  bytes[60] ^= 1;  // in the rootfs data
  std::string damaged = put("damaged.bpk2", bytes);
  EXPECT_EQ(run({"sign", damaged, "--key", a + ".key"}).status, 1);
  EXPECT_EQ(slurp(damaged), bytes);
  EXPECT_EQ(run({"sign", pkg, "--key", a + ".pub"}).status, 1);
  EXPECT_EQ(run({"verify", pkg, "--key", a + ".key"}).status, 1);
  // A secret key whose public half is another key's signs nothing.
  std::string seed = slurp(a + ".key").substr(0, 64);
  std::string other = slurp(b + ".pub").substr(0, 64);
  std::string mixed = put("mixed.key", seed + other + "\n");
  ::chmod(mixed.c_str(), 0600);
  bytes = slurp(pkg);
  Result m = run({"sign", pkg, "--key", mixed});
  EXPECT_EQ(m.status, 1);
  EXPECT_EQ(m.err, "velnor-pack: " + mixed +
                       ": the public half is not the one of its seed\n");
  EXPECT_EQ(slurp(pkg), bytes);
  // Sixteen signatures are all a device takes: a seventeenth key is
  // refused, and the package stays as it was; a key already there still
  // signs again.
  for (int n = 2; n < 16; ++n) {
    std::string k = dir / ("k" + std::to_string(n));
    ASSERT_EQ(run({"keygen", k}).status, 0);
    ASSERT_EQ(run({"sign", pkg, "--key", k + ".key"}).status, 0) << n;
  }
  ASSERT_EQ(run({"keygen", dir / "k16"}).status, 0);
  bytes = slurp(pkg);
  Result full = run({"sign", pkg, "--key", dir / "k16.key"});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "velnor-pack: " + pkg +
                          " holds 16 signatures by other keys: a device takes "
                          "no more than 16\n");
  EXPECT_EQ(slurp(pkg), bytes);
  EXPECT_EQ(run({"sign", pkg, "--key", a + ".key"}).status, 0);
  EXPECT_EQ(run({"verify", pkg, "--key", b + ".pub"}).status, 0);
}

TEST_F(VelnorPack, TheVersionFloorOfAKeyedDevice) {
  std::string k = put_random("k", 3000, 1);
  std::string r = put("r", test_support::random_image(9000, 2, "hsqs"));
  std::string a = dir / "a";
  ASSERT_EQ(run({"keygen", a}).status, 0);
  std::string pkg = dir / "fw.bpk2", bare = dir / "bare.bpk2";
  ASSERT_EQ(run({"create", pkg, "--kernel", k, "--rootfs", r, "--version",
                 "2.0.0.0+r"})
                .status,
            0);
  ASSERT_EQ(run({"create", bare, "--kernel", k, "--rootfs", r}).status, 0);
  for (const std::string& p : {pkg, bare})
    ASSERT_EQ(run({"sign", p, "--key", a + ".key"}).status, 0);
  struct Row {
    std::string package;
    const char* floor;
    int status;
  };
  for (const Row& row : {Row{pkg, "2.0.0.0", 0}, Row{pkg, "1.99.0.0", 0},
                         Row{pkg, "2.0.0.1", 1}, Row{bare, "0.0.0.0", 1}}) {
    Result v = run({"verify", row.package, "--min-version", row.floor, "--key",
                    a + ".pub"});
    EXPECT_EQ(v.status, row.status) << row.floor << v.err;
    EXPECT_EQ(v.err, row.status ? "Failed to validate version\n" : "")
        << row.floor;
  }
  // A floor is a plain A.B.C.D, and only for a signed version.
  for (const char* bad : {"2.0.0", "2.0.0.0r", "1.2.3.4294967297"}) {
    EXPECT_EQ(
        run({"verify", pkg, "--key", a + ".pub", "--min-version", bad}).status,
        2)
        << bad;
  }
  EXPECT_EQ(run({"verify", pkg, "--min-version", "1.0.0.0"}).status, 2);
  // Nor does a package name a version its numbers cannot hold.
  EXPECT_EQ(run({"create", dir / "wrapped.bpk2", "--kernel", k, "--rootfs", r,
                 "--version", "1.2.3.4294967297"})
                .status,
            1);
}

// Outputs a verb did not make are never replaced: a node stays the node it
// was (written through), a link stays a link (its file written), an existing
// file needs --force and keeps its mode, an input is never an output. Nodes
// are made in the scratch directory (mknod needs root: those rows run as
// root only), never on the machine's /dev.
TEST_F(VelnorPack, OutputsItDidNotMakeAreNeverReplaced) {
  std::string k = put("k", "kernel"), r = put("r", "hsqs-root");
  std::string pkg = dir / "fw.bpk2";
  ASSERT_EQ(run({"create", pkg, "--kernel", k, "--rootfs", r}).status, 0);
  ASSERT_EQ(run({"keygen", dir / "key"}).status, 0);
  const std::string made = slurp(pkg);
  const bool root = ::geteuid() == 0;
  auto kind = [](const std::string& p) {
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return std::string("none");
    return std::string(S_ISLNK(st.st_mode)    ? "link"
                       : S_ISCHR(st.st_mode)  ? "char"
                       : S_ISFIFO(st.st_mode) ? "fifo"
                                              : "file");
  };
  auto mode = [](const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 0777 : 0u;
  };
  struct Row {
    const char* what;
    std::vector<std::string> args;  // "OUT" stands for the output
    std::function<void(const std::string&)> make;
    int status;
    const char* kind_after;
  };
  auto file = [&](const std::string& out) {
    std::ofstream(out) << "the builder's own file";
    ::chmod(out.c_str(), 0640);
  };
  auto device = [&](const std::string& out) {
    ASSERT_EQ(::mknod(out.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  };
  auto link = [&](const std::string& out) {
    file(out + ".target");
    fs::create_symlink(out + ".target", out);
  };
  const std::vector<std::string> create = {"create", "OUT",      "--kernel",
                                           k,        "--rootfs", r};
  auto with = [](std::vector<std::string> v, const std::string& extra) {
    v.push_back(extra);
    return v;
  };
  const Row rows[] = {
      {"create over a file", create, file, 1, "file"},
      {"create --force over a file", with(create, "--force"), file, 0, "file"},
      {"create --force through a link", with(create, "--force"), link, 0,
       "link"},
      {"create into a device", create, device, 0, "char"},
      {"extract into a device",
       {"extract", pkg, "kernel", "OUT"},
       device,
       0,
       "char"},
      {"extract over a file",
       {"extract", pkg, "kernel", "OUT"},
       file,
       1,
       "file"},
  };
  int n = 0;
  for (const Row& row : rows) {
    bool needs_root = row.kind_after == std::string("char");
    if (needs_root && !root) continue;
    std::string out = dir / ("out" + std::to_string(++n));
    row.make(out);
    std::string before = kind(out) == "char" ? "" : slurp(out);
    std::vector<std::string> args = row.args;
    for (std::string& a : args)
      if (a == "OUT") a = out;
    Result res = run(args);
    EXPECT_EQ(res.status, row.status) << row.what << ": " << res.err;
    EXPECT_EQ(kind(out), row.kind_after) << row.what;
    if (row.kind_after == std::string("char")) continue;
    if (row.status != 0) {
      EXPECT_EQ(slurp(out), before) << row.what;
    } else {
      EXPECT_EQ(run({"verify", out}).status, 0) << row.what;
      EXPECT_EQ(mode(out), 0640u) << row.what;
    }
  }
  // The input itself is never the output, even with --force.
  Result self = run({"create", "--force", k, "--kernel", k, "--rootfs", r});
  EXPECT_EQ(self.status, 1);
  EXPECT_EQ(slurp(k), "kernel");
  // A FIFO is written through, to its reader.
  std::string fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  std::string got;
  std::thread reader([&] { got = slurp(fifo); });
  EXPECT_EQ(run({"extract", pkg, "kernel", fifo}).status, 0);
  reader.join();
  EXPECT_EQ(got, "kernel");
  EXPECT_EQ(kind(fifo), "fifo");
  // sign through a link signs the file it names, keeping its mode.
  std::string target = dir / "release.bpk2", named = dir / "latest.bpk2";
  std::ofstream(target, std::ios::binary) << made;
  ::chmod(target.c_str(), 0640);
  fs::create_symlink(target, named);
  EXPECT_EQ(run({"sign", named, "--key", dir / "key.key"}).status, 0);
  EXPECT_EQ(kind(named), "link");
  EXPECT_EQ(mode(target), 0640u);
  EXPECT_EQ(run({"verify", target, "--key", dir / "key.pub"}).status, 0);
  // keygen never writes over a NAME.pub (it may be a list of trusted keys).
  std::string pub = slurp(dir / "key.pub");
  ::unlink((dir / "key.key").c_str());
  EXPECT_EQ(run({"keygen", dir / "key"}).status, 1);
  EXPECT_EQ(slurp(dir / "key.pub"), pub);
}

// A long create shows its progress on a terminal, and nothing in a pipe.
TEST_F(VelnorPack, ProgressOnATerminalOnly) {
  std::string image =
      scratch.put("rootfs", test_support::random_image(16 << 20, 4, "hsqs"));
  std::string pkg = dir / "fw.bpk2";
  Result piped = run({"create", pkg, "--kernel", image, "--rootfs", image});
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.err, "");
  if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "no script(1)";
  Result shown =
      run_program_in(dir, {"/usr/bin/script", "-qec",
                           std::string(VELNOR_PACK) + " create --force " + pkg +
                               " --kernel " + image + " --rootfs " + image,
                           "/dev/null"});
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.out.find("velnor-pack: writing " + pkg + " done"),
            std::string::npos)
      << shown.out;
}
