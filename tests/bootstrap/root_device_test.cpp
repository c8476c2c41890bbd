// Where the normal boot mounts the root image from, by what the kernel
// offers: the mtdblock device of the volume's MTD (gluebi, and an mtdblock
// that takes volumes), else the volume's UBI block device.
#include "tests/support.h"

using test_support::SimBoard;

namespace {

struct Kernel {
  const char* name;
  std::vector<std::string> options;  // velnor-sim init's
  const char* source;                // of the root mount; "" for none
  const char* out;                   // stdout after "Mounting root filesystem"
  const char* err;
};

const char ubiblock_line[] =
    "No mtd block device for volume rootfs, falling back on "
    "/dev/ubiblock0_0\n";
const char no_ubiblock[] =
    "Failed to create UBI block device /dev/ubiblock0_0: Inappropriate ioctl "
    "for device\n";

const char rescue_out[] =
    "Resetting watchdog\nStarting system recovery procedure\n";

const Kernel kernels[] = {
    {"gluebi_and_mtdblock", {}, "/dev/mtdblock1", "", ""},
    {"no_gluebi", {"--no-gluebi"}, "/dev/ubiblock0_0", ubiblock_line, ""},
    {"mtdblock_refuses_volumes",
     {"--no-mtdblock-volumes"},
     "/dev/ubiblock0_0",
     ubiblock_line,
     ""},
    // Neither: the root failure path, which falls back on the card's
    // backup (there is no card here).
    {"no_gluebi_no_ubiblock",
     {"--no-gluebi", "--no-ubiblock"},
     "",
     rescue_out,
     "Failed to create UBI block device /dev/ubiblock0_0: Inappropriate "
     "ioctl for device\nCouldn't find mtd partition for volume rootfs\n"},
    {"no_mtdblock_no_ubiblock",
     {"--no-mtdblock-volumes", "--no-ubiblock"},
     "",
     rescue_out,
     no_ubiblock},
};

class RootDevice : public ::testing::TestWithParam<Kernel> {};

void PrintTo(const Kernel& k, std::ostream* out) { *out << k.name; }

}  // namespace

TEST_P(RootDevice, NormalBoot) {
  const Kernel& kernel = GetParam();
  SimBoard board;
  board.must("init", kernel.options);
  board.must("install", {board.package("fw.bpk2", 20000, 5000)});
  ProgramRun r = board.sim("boot");
  ASSERT_EQ(r.status, 0) << r.err;
  // The daemon's own lines fall where scheduling puts them.
  std::string out = r.out;
  for (const char* daemon :
       {"Starting watchdog process\n", "Stopping watchdog process\n",
        "Watchdog pipe closed\n"}) {
    for (size_t d; (d = out.find(daemon)) != std::string::npos;)
      out.erase(d, std::string(daemon).size());
  }
  std::string mounting = "Mounting root filesystem\n";
  size_t at = out.find(mounting);
  ASSERT_NE(at, std::string::npos) << out;
  std::string after = out.substr(at + mounting.size());
  EXPECT_EQ(after, kernel.out);
  // A root failure's own lines come first, then the rescue's.
  EXPECT_EQ(r.err.rfind(kernel.err, 0), 0u) << r.err;
  nlohmann::json state = board.show();
  std::string root;
  for (const nlohmann::json& m : state["mounts"])
    if (m["target"] == "/root") root = m["source"];
  EXPECT_EQ(root, kernel.source);
  EXPECT_EQ(state["boot"]["outcome"],
            kernel.source[0] != '\0' ? "switch_root" : "restart");
}

INSTANTIATE_TEST_SUITE_P(Kernels, RootDevice, ::testing::ValuesIn(kernels),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });
