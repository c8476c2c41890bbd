// Whether a block device holds a file system: the signatures of the file
// systems a card may come with, read from its first blocks.
#pragma once

// true when the device's first blocks carry the signature of a file system
// (ext2/3/4, FAT, exFAT, NTFS, btrfs, XFS, F2FS, squashfs, ISO 9660, a
// swap area, a LUKS header), and when the device cannot be read: only a
// device that reads and carries none of them counts as blank.
bool holds_filesystem(const char* device);
