// What the flash's device nodes share: the base whose writes and ioctls
// count towards a power cut, the transaction a system call runs in, the
// bookkeeping of a volume's users and of the volumes' MTDs. One file per
// node, as the kernel's drivers/mtd/ubi/ splits them: ubi_build.cpp (attach
// and detach), ubi_vmt.cpp (volumes made, removed, renamed), ubi_upd.cpp (a
// volume's node: reads and updates), gluebi.cpp (a volume's MTD),
// ubi_block.cpp (a volume's block device), and mtd_char.cpp (the MTD nodes,
// a NAND partition's among them).
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/flash_model.h"
#include "sim/open_device.h"

namespace sim {

inline int fail(int error) {
  errno = error;
  return -1;
}

// A system call computed in one flash transaction: the body returns the
// result (setting errno when it fails) and says whether the flash is to be
// saved; errno is carried out of the transaction with the result.
template <typename T, typename Body>
T flash_call(Body&& body) {
  T result{};
  int error = 0;
  flash_transaction([&](Flash& f, FlashRuntime& rt) {
    bool commit = false;
    result = body(f, rt, commit);
    error = errno;
    return commit;
  });
  errno = error;
  return result;
}

// A device node of the flash. Its writes and ioctls are operations on the
// flash, each of which counts towards a power cut, done or not: they are
// counted here, once for every node, and a node gives its own in write_op
// and ioctl_op.
class FlashNode : public OpenDevice {
 public:
  ssize_t write(const void* buffer, size_t count) final;
  int ioctl(unsigned long request, void* arg) final;

 protected:
  virtual ssize_t write_op(const void*, size_t) { return fail(EINVAL); }
  virtual int ioctl_op(unsigned long, void*) { return fail(ENOTTY); }
};

// Whether a process holds the volume (any volume of the device: vol_id -1).
bool any_opener(const FlashRuntime& rt, int ubi_num, int vol_id);
// This process's hold of the volume, let go.
void drop_opener(FlashRuntime& rt, int ubi_num, int vol_id, OpenKind kind);
// The chip busy for ms of device time (a slow program or read): the
// calling process waits it out whole, signals or not.
void chip_busy(uint64_t ms);
// The host file holding a volume's data.
std::string data_path(int partition, int vol_id);
// Reads a volume's content at pos; erased space past the data reads 0xFF.
ssize_t read_volume(int partition, const SimVolume& v, uint64_t limit,
                    uint64_t pos, void* buffer, size_t count);
// A device's lseek from the start or from where it is.
off_t seek(uint64_t* pos, off_t offset, int whence);

// gluebi.cpp: the MTD of each volume of an attached device.
const GluebiMtd* find_gluebi(const FlashRuntime& rt, int mtd_index);
void add_gluebi(const Flash& f, FlashRuntime& rt, int ubi_num,
                const SimVolume& v, uint32_t leb);
void remove_gluebi(FlashRuntime& rt, int ubi_num, int vol_id);
std::unique_ptr<OpenDevice> make_gluebi_file(int ubi_num, int vol_id,
                                             int partition, bool block,
                                             uint64_t block_bytes);

// ubi_block.cpp: UBI_IOCVOLCRBLK and UBI_IOCVOLRMBLK on a volume's node.
int block_request(Flash& f, FlashRuntime& rt, int ubi_num, int vol_id,
                  unsigned long request);

// ubi_upd.cpp: a volume's node, opened by open_ubi_node.
std::unique_ptr<OpenDevice> make_volume_node(int ubi_num, int vol_id,
                                             int partition, OpenKind kind);

}  // namespace sim
