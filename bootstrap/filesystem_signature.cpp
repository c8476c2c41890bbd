#include "bootstrap/filesystem_signature.h"

#include <fcntl.h>

#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "common/os.h"
#include "common/unique_fd.h"

namespace {

struct Signature {
  size_t offset;
  std::string_view bytes;
};

// Where each file system keeps its magic (their own on-disk formats).
constexpr Signature signatures[] = {
    {1080, "\x53\xEF"},          // ext2/3/4 superblock magic 0xEF53
    {54, "FAT"},                 // FAT12/16 boot sector
    {82, "FAT32"},               // FAT32 boot sector
    {3, "EXFAT   "},             // exFAT
    {3, "NTFS    "},             // NTFS
    {65600, "_BHRfS_M"},         // btrfs superblock at 64 KiB
    {0, "XFSB"},                 // XFS
    {1024, "\x10\x20\xF5\xF2"},  // F2FS 0xF2F52010
    {0, "hsqs"},                 // squashfs
    {32769, "CD001"},            // ISO 9660
    {4086, "SWAPSPACE2"},        // a swap area (4 KiB pages)
    {0, "LUKS\xBA\xBE"},         // an encrypted volume
};
constexpr size_t span = 65600 + 8;

}  // namespace

bool holds_filesystem(const char* device) {
  unique_fd fd(os::open(device, O_RDONLY));
  std::unique_ptr<char[]> head(new (std::nothrow) char[span]);
  if (!fd.ok() || !head) return true;
  size_t got = 0;
  while (got < span) {
    ssize_t n = os::read(fd.get(), head.get() + got, span - got);
    if (n < 0) return true;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  for (const Signature& s : signatures) {
    if (s.offset + s.bytes.size() <= got &&
        std::memcmp(head.get() + s.offset, s.bytes.data(), s.bytes.size()) ==
            0) {
      return true;
    }
  }
  return false;
}
