"""What goes into the emulated device: firmware packages made with
velnor-pack, and the SD card and USB stick images that carry them."""
import os
import random
import shutil
import subprocess


def make_firmware(work, cache, host_bin, version, kernel=None, tag="",
                  blob=0, end="poweroff -f", steps="", files=None):
    """A firmware package: the device's kernel image (or the file kernel),
    and a root file system whose init names the firmware's version, runs
    the shell lines steps, and powers off (or runs busybox's command end:
    "reboot -f" restarts, "sleep 1000000" hangs), holding blob bytes of
    noise and files ({path in the root: host path}) besides. Its files are
    named with tag, so that packages of one version with other images can
    sit side by side."""
    path = os.path.join(work, f"firmware{tag}-{version}.bpk2")
    if os.path.exists(path):
        return path
    root = os.path.join(work, f"rootfs{tag}-{version}")
    os.makedirs(os.path.join(root, "bin"))
    os.makedirs(os.path.join(root, "sbin"))
    os.makedirs(os.path.join(root, "etc"))
    os.makedirs(os.path.join(root, "dev"))
    shutil.copy(os.path.join(cache, "pkgs/bin/busybox"), os.path.join(root, "bin"))
    os.symlink("busybox", os.path.join(root, "bin/sh"))
    with open(os.path.join(root, "etc/version"), "w") as f:
        f.write(version + "\n")
    if blob:
        with open(os.path.join(root, "blob"), "wb") as f:
            noise = random.Random(version)
            for at in range(0, blob, 16 << 20):  # in pieces: any size
                f.write(noise.randbytes(min(16 << 20, blob - at)))
    for target, source in (files or {}).items():
        os.makedirs(os.path.dirname(os.path.join(root, target)), exist_ok=True)
        shutil.copy(source, os.path.join(root, target))
    init = os.path.join(root, "sbin/init")
    with open(init, "w") as f:
        f.write("#!/bin/sh\n"
                "echo \"velnor test firmware $(/bin/busybox cat /etc/version) running\"\n"
                f"{steps}exec /bin/busybox {end}\n")
    os.chmod(init, 0o755)
    image = root + ".squashfs"
    subprocess.run(["mksquashfs", root, image, "-noappend", "-all-root", "-quiet"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([os.path.join(host_bin, "velnor-pack"), "create", path,
                    "--kernel", kernel or os.path.join(cache, "vmlinuz"),
                    "--rootfs", image, "--version", version],
                   check=True, stdout=subprocess.DEVNULL)
    return path


def make_disk(work, name, fstype, files, room=0):
    """A disk of 64 MiB (a larger power of two when the files, and room
    bytes free beside them, need it: the emulated SD card takes no other
    size) with one partition from 1 MiB on: ext3 or vfat holding files
    ({name on the medium: host path}), or never formatted (None)."""
    disk = os.path.join(work, name + ".img")
    part = os.path.join(work, name + ".part")
    need = sum(os.path.getsize(source) for source in (files or {}).values()) + room
    size, offset = 64 << 20, 1 << 20
    # Room for the file system's own blocks too: its journal, its inode
    # tables and a block map for every 128 MiB.
    while size < need + need // 16 + (32 << 20):
        size *= 2
    with open(disk, "wb") as f:
        f.truncate(size)
    kind = "c" if fstype == "vfat" else "83"
    subprocess.run(["sfdisk", "-q", disk], input=f"label: dos\nstart=2048, type={kind}\n",
                   text=True, check=True)
    if fstype is None:
        return disk
    with open(part, "wb") as f:
        f.truncate(size - offset)
    if fstype == "ext3":
        # The card's files, staged for mke2fs and gone once it has them (a
        # run in a kept work directory finds none left from the last).
        staging = os.path.join(work, name + ".files")
        shutil.rmtree(staging, ignore_errors=True)
        os.makedirs(staging)
        try:
            for target, source in files.items():
                os.makedirs(os.path.dirname(os.path.join(staging, target)), exist_ok=True)
                shutil.copy(source, os.path.join(staging, target))
            subprocess.run(["mke2fs", "-q", "-F", "-t", "ext3", "-d", staging, part],
                           check=True)
        finally:
            shutil.rmtree(staging, ignore_errors=True)
    else:
        subprocess.run(["mkfs.vfat", part], check=True, stdout=subprocess.DEVNULL)
        for target, source in files.items():
            subprocess.run(["mcopy", "-i", part, source, "::/" + target], check=True)
    with open(part, "rb") as src, open(disk, "r+b") as dst:
        dst.seek(offset)
        shutil.copyfileobj(src, dst)
    os.unlink(part)
    return disk
