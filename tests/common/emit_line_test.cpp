#include "common/emit_line.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/sim_device.h"

using Writes = std::vector<std::string>;

TEST(EmitLine, OneWritePerPieceThenTheLineFeed) {
  SimDevice device;
  std::string path = "/mnt/mmc/update.bpk2";
  errno = ENOENT;
  emit_line(2, "Failed to open file ", path, " error: ", errno_text());
  EXPECT_EQ(SimDevice::writes(2),
            (Writes{"Failed to open file ", "/mnt/mmc/update.bpk2",
                    " error: ", "No such file or directory", "\n"}));
  EXPECT_TRUE(SimDevice::writes(1).empty());
}

TEST(EmitLine, SinglePieceOnStandardOutput) {
  SimDevice device;
  emit_line(1, "Resetting watchdog");
  EXPECT_EQ(SimDevice::writes(1), (Writes{"Resetting watchdog", "\n"}));
  EXPECT_TRUE(SimDevice::writes(2).empty());
}

TEST(EmitLine, EmptyPiecesAreStillTheirOwnWrite) {
  SimDevice device;
  emit_line(1, "a", "", "b");
  EXPECT_EQ(SimDevice::writes(1), (Writes{"a", "", "b", "\n"}));
}
