#!/usr/bin/env python3
"""Writes a directory tree as a cpio archive in the kernel's "newc" format,
owned by root, with device nodes added by name (no privileges needed).

Usage: newc.py TREE OUTPUT [--node PATH:c|b:MAJOR:MINOR]...
"""
import os
import stat
import sys


def header(out, ino, mode, size, name, rdev=(0, 0), nlink=1, mtime=0):
    name_bytes = name.encode() + b"\0"
    fields = [ino, mode, 0, 0, nlink, mtime, size, 0, 0, rdev[0], rdev[1],
              len(name_bytes), 0]
    out.write(b"070701" + b"".join(b"%08X" % f for f in fields))
    out.write(name_bytes)
    out.write(b"\0" * (-(110 + len(name_bytes)) % 4))


def main():
    tree, output = sys.argv[1], sys.argv[2]
    nodes = []
    args = sys.argv[3:]
    while args:
        if args[0] != "--node" or len(args) < 2:
            sys.exit(__doc__)
        path, kind, major, minor = args[1].split(":")
        nodes.append((path.lstrip("/"), kind, int(major), int(minor)))
        args = args[2:]

    ino = 1
    with open(output, "wb") as out:
        for root, dirs, files in os.walk(tree):
            dirs.sort()
            for entry in sorted(dirs) + sorted(files):
                path = os.path.join(root, entry)
                name = os.path.relpath(path, tree)
                st = os.lstat(path)
                perm = stat.S_IMODE(st.st_mode)
                if stat.S_ISLNK(st.st_mode):
                    data = os.readlink(path).encode()
                    header(out, ino, stat.S_IFLNK | 0o777, len(data), name)
                elif stat.S_ISDIR(st.st_mode):
                    header(out, ino, stat.S_IFDIR | perm, 0, name, nlink=2)
                    data = b""
                elif stat.S_ISREG(st.st_mode):
                    with open(path, "rb") as f:
                        data = f.read()
                    header(out, ino, stat.S_IFREG | perm, len(data), name)
                else:
                    continue
                out.write(data)
                out.write(b"\0" * (-len(data) % 4))
                ino += 1
        for name, kind, major, minor in nodes:
            mode = (stat.S_IFCHR if kind == "c" else stat.S_IFBLK) | 0o600
            header(out, ino, mode, 0, name, rdev=(major, minor))
            ino += 1
        header(out, 0, 0, 0, "TRAILER!!!")
        out.write(b"\0" * (-out.tell() % 512))


if __name__ == "__main__":
    main()
