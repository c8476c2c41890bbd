#include "common/file_ops.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>

#include "common/os.h"
#include "tests/sim_device.h"

namespace fs = std::filesystem;

namespace {

class FileOps : public ::testing::Test {
 protected:
  void SetUp() override { old_umask = ::umask(022); }
  void TearDown() override { ::umask(old_umask); }
  SimDevice device;
  mode_t old_umask;
};

mode_t permissions(const std::string& host) {
  struct stat st;
  EXPECT_EQ(::stat(host.c_str(), &st), 0);
  return st.st_mode & 07777;
}

}  // namespace

TEST_F(FileOps, CopyTruncatesAnExistingTargetAndDropsSourcePermissions) {
  device.put("/mnt/usb/update.bpk2", "new package", 0700);
  device.put("/mnt/mmc/update.bpk2", "an old and longer package");
  EXPECT_EQ(copy_file("/mnt/usb/update.bpk2", "/mnt/mmc/update.bpk2"), 0);
  EXPECT_EQ(device.get("/mnt/mmc/update.bpk2"), "new package");
  EXPECT_EQ(permissions(device.host("/mnt/mmc/update.bpk2")), 0644u);
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(FileOps, CopyIntoADirectoryKeepsTheName) {
  device.put("/mnt/usb/update.bpk2", "pkg");
  fs::create_directories(device.host("/mnt/mmc"));
  EXPECT_EQ(copy_file("/mnt/usb/update.bpk2", "/mnt/mmc"), 0);
  EXPECT_EQ(device.get("/mnt/mmc/update.bpk2"), "pkg");
}

TEST_F(FileOps, CopySizesAroundTheChunk) {
  for (size_t size : {size_t{0}, size_t{4096}, size_t{4097}, size_t{100000}}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 7);
    device.put("/a", data);
    EXPECT_EQ(copy_file("/a", "/b"), 0);
    EXPECT_EQ(device.get("/b"), data) << size;
  }
}

TEST_F(FileOps, CopyOfALinkMakesTheSameLink) {
  fs::create_directories(device.host("/mnt"));
  fs::create_symlink("/etc/target", device.host("/mnt/link"));
  EXPECT_EQ(copy_file("/mnt/link", "/mnt/copy"), 0);
  EXPECT_EQ(fs::read_symlink(device.host("/mnt/copy")), "/etc/target");

  device.put("/mnt/taken", "x");
  EXPECT_EQ(copy_file("/mnt/link", "/mnt/taken"), -1);
  EXPECT_EQ(SimDevice::console(2), "Failed to recreate link: File exists\n");
}

TEST_F(FileOps, CopyRefusals) {
  EXPECT_EQ(copy_file("/mnt/usb/", "/mnt/mmc/x"), -1);
  EXPECT_EQ(copy_file("/mnt/usb/missing.bpk2", "/mnt/mmc/x"), -1);
  EXPECT_FALSE(fs::exists(device.host("/mnt/mmc/x")));
  device.put("/src", "data");
  EXPECT_EQ(copy_file("/src", "/no/such/dir/file"), -1);
  // Onto itself, here through the directory that holds it: the source stays.
  EXPECT_EQ(copy_file("/src", "/"), -1);
  EXPECT_EQ(device.get("/src"), "data");
  EXPECT_EQ(SimDevice::console(2),
            "Can't use copy_file on a directory: /mnt/usb/\n"
            "Failed to stat: /mnt/usb/missing.bpk2\n"
            "Failed to open /no/such/dir/file: No such file or directory\n"
            "Can't copy a file onto itself: /src\n");
}

TEST_F(FileOps, CopyOfAnUnreadableSourceIsReported) {
  if (::geteuid() == 0) {
    // root reads anything: use a node without a driver instead.
    ASSERT_EQ(os::mknod("/dev/nothing", S_IFCHR | 0666, makedev(99, 1)), 0);
    EXPECT_EQ(copy_file("/dev/nothing", "/x"), 0);  // not a regular file
    EXPECT_FALSE(fs::exists(device.host("/x")));
    return;
  }
  device.put("/secret", "x", 0000);
  EXPECT_EQ(copy_file("/secret", "/x"), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Failed to open /secret: Permission denied\n");
}

TEST_F(FileOps, CopyOfOtherKindsCopiesNothing) {
  fs::create_directories(device.host("/mnt/dir"));
  EXPECT_EQ(copy_file("/mnt/dir", "/mnt/copy"), 0);
  EXPECT_FALSE(fs::exists(device.host("/mnt/copy")));
}

TEST_F(FileOps, MakeDirsCreatesEachMissingParent) {
  EXPECT_EQ(make_dirs("/mnt/mmc/packages/new", 0755), 0);
  EXPECT_TRUE(fs::is_directory(device.host("/mnt/mmc/packages/new")));
  EXPECT_EQ(make_dirs("/mnt/mmc/packages/new", 0755), 0);  // all there
  EXPECT_EQ(make_dirs("/tmp/a/b/", 0700), 0);
  EXPECT_TRUE(fs::is_directory(device.host("/tmp/a/b")));
  EXPECT_EQ(permissions(device.host("/tmp/a/b")), 0700u);
  EXPECT_EQ(make_dirs("", 0755), -1);
  EXPECT_EQ(make_dirs(nullptr, 0755), -1);
  EXPECT_EQ(SimDevice::console(2), "");
}

TEST_F(FileOps, MakeDirsStopsAtAFile) {
  device.put("/mnt/file", "x");
  EXPECT_EQ(make_dirs("/mnt/file/sub/dir", 0755), -1);
  EXPECT_EQ(SimDevice::console(2),
            "Can't create /mnt/file/sub/dir, /mnt/file/ is not a directory\n");
}

TEST_F(FileOps, RemoveATreeWithoutFollowingLinks) {
  device.put("/keep/precious", "x");
  device.put("/tree/a/b/file", "x");
  device.put("/tree/top", "x");
  fs::create_symlink("/keep", device.host("/tree/a/link"));
  EXPECT_EQ(remove_dir_contents("/tree"), 0);
  EXPECT_TRUE(fs::is_empty(device.host("/tree")));
  EXPECT_TRUE(fs::exists(device.host("/keep/precious")));

  device.put("/tree/again/x", "x");
  EXPECT_EQ(remove_path("/tree"), 0);
  EXPECT_FALSE(fs::exists(device.host("/tree")));
  device.put("/single", "x");
  EXPECT_EQ(remove_path("/single"), 0);
  EXPECT_EQ(remove_path("/single"), -1);
  EXPECT_EQ(remove_dir_contents("/missing"), -1);
  EXPECT_EQ(SimDevice::console(2), "");
}
