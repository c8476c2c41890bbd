// Reads and writes of files on a removable medium, with the medium's faults
// (sim/board.h holds its state): a full card, a bad sector, a medium pulled
// out part way.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "sim/board.h"

namespace sim {

// A file open on a medium, with the medium's state as it was when the file
// was opened.
struct MediumFile {
  Medium medium;
  MediumState state;
  uint64_t given = 0;     // bytes read so far
  uint32_t reads_at = 0;  // reads that reached state.reread_differs_at
  uint64_t used = 0;      // bytes the medium's files take, for its capacity
};

// Tracks the descriptor when dev (the device number its file lies on) is a
// medium's; forgets it on close.
void medium_file_opened(int fd, uint32_t dev);
void medium_file_closed(int fd);
// The medium file open on fd, or null.
MediumFile* medium_file(int fd);

ssize_t medium_read(int fd, MediumFile& f, void* buf, size_t count);
ssize_t medium_write(int fd, MediumFile& f, const void* buf, size_t count);

}  // namespace sim
