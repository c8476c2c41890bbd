#!/usr/bin/env python3
"""What a device program's size is made of, from its GNU ld link map: the
bytes each library (or the program's own code) puts into the file.

Usage: size_breakdown.py PROGRAM.map
"""
import collections
import os
import re
import sys

# An input section: name, address, size, file; a long name stands alone on
# its line and the rest follows on the next.
ENTRY = re.compile(r"^ (\S+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
NAME_ONLY = re.compile(r"^ (\S+)$")
REST = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
NOT_IN_FILE = (".bss", ".tbss", "COMMON", ".debug", ".comment", ".note",
               ".ARM.attributes", ".stab")


def owner(path):
    m = re.match(r"(.*?)\((.*)\)$", path)
    lib = os.path.basename(m.group(1) if m else path)
    if lib.startswith("libvelnor_"):
        return "velnor: " + lib[len("libvelnor_"):-2]
    if lib.endswith(".o") and not m:
        return "velnor: the program's own"
    return lib


def main():
    sizes = collections.Counter()
    in_map, pending = False, None
    with open(sys.argv[1]) as f:
        for line in f:
            if line.startswith("Linker script and memory map"):
                in_map = True
                continue
            if not in_map:
                continue
            m = ENTRY.match(line)
            if m:
                name, size, path = m.group(1), int(m.group(3), 16), m.group(4)
            elif pending and REST.match(line):
                r = REST.match(line)
                name, size, path = pending, int(r.group(2), 16), r.group(3)
            else:
                n = NAME_ONLY.match(line)
                pending = n.group(1) if n else None
                continue
            pending = None
            if size == 0 or name.startswith(NOT_IN_FILE) or "linker stubs" in path:
                continue
            sizes[owner(path.strip())] += size
    total = sum(sizes.values())
    for lib, size in sizes.most_common():
        print(f"    {size / 1024:7.1f} KiB  {100 * size / total:4.1f}%  {lib}")
    print(f"    {total / 1024:7.1f} KiB  in all (sections; the file adds headers)")


if __name__ == "__main__":
    main()
