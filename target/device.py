"""The emulated device: QEMU's "virt" ARM machine running Debian's armhf
kernel with the initramfs that build-device makes (the test harness as init,
the device's own tree under /device).

run() boots it once: the harness then boots the device up to velnor.boots
times on the same kernel, NAND flash and boot flag register, and powers off.
"""
import os
import re
import select
import subprocess
import sys
import time

HARNESS = "velnor-harness: "
KERNEL_LINE = re.compile(r"^\[\s*\d+\.\d+\] ")


class Console:
    """What the device printed, and how each boot ended."""

    def __init__(self, text, timed_out, seconds, timed_lines=()):
        self.text = text
        # (seconds since QEMU started, line): when each line reached the
        # host, which is how long the emulated device took to print it.
        self.timed_lines = list(timed_lines)
        self.timed_out = timed_out
        self.seconds = seconds
        self.ends = re.findall(r"^velnor-harness: boot \d+ ended: (.*?); "
                               r"boot flag (\S+)$", text, re.M)
        # The hardware watchdog restarting the machine: the kernel says so,
        # and QEMU (-no-reboot) stops there.
        self.watchdog_reset = "softdog: Initiating system reboot" in text

    def program_lines(self, boot=None):
        """The lines of the device's programs: neither the kernel's nor the
        harness's. With boot, only those of that boot (1 is the first)."""
        lines, current = [], 0
        for line in self.text.splitlines():
            m = re.match(r"^velnor-harness: boot (\d+)$", line)
            if m:
                current = int(m.group(1))
                continue
            if line.startswith(HARNESS) or KERNEL_LINE.match(line):
                continue
            if current == 0 or (boot is not None and current != boot):
                continue
            lines.append(line)
        return lines


# Real media's speeds, on request (slow=True). The NAND chip is the board's
# (id bytes 0x20 0xa1: a 1 Gbit, 1.8 V, x8 SLC part of the NAND01GR3B2B
# kind), at its datasheet's worst case: tR 25 us (page to register),
# tPROG 700 us (a page programmed), tBERS 3 ms (a block erased), 50 ns a
# byte on the bus (tRC and tWC at 1.8 V). nandsim waits that long, busy, on
# every operation. The card is a class 4 SD card (4 MB/s, the class's
# floor, read and write); the stick a cheap USB 2.0 one (10 MB/s read,
# 3 MB/s write), through QEMU's block throttling.
SLOW_NAND = ("nandsim.do_delays=1 nandsim.access_delay=25 nandsim.programm_delay=700 "
             "nandsim.erase_delay=3 nandsim.output_cycle=50 nandsim.input_cycle=50")
SLOW_CARD = ",throttling.bps-read=4000000,throttling.bps-write=4000000"
SLOW_STICK = ",throttling.bps-read=10000000,throttling.bps-write=3000000"


# The other boards of boards/board.h on the same machine: where each puts its
# card (the kernel's name for the card's partition, and the SD slots in
# front of the card's; an empty slot takes mmc0, so the card is mmcblk1).
BOARD_CARDS = {None: ("mmcblk0p1", 0), "virt-b": ("mmcblk1p1", 1)}


def card_throttle(rate):
    """QEMU's throttling of a card that moves rate bytes a second."""
    return f",throttling.bps-read={rate},throttling.bps-write={rate}"


def qemu_command(cache, append, card=None, usb=None, slow=False, board=None,
                 card_rate=None):
    cmd = ["qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15",
           "-smp", "1", "-m", "3G", "-display", "none", "-nic", "none",
           "-monitor", "none", "-no-reboot", "-serial", "stdio",
           "-kernel", os.path.join(cache, "vmlinuz"),
           "-initrd", os.path.join(cache, f"initramfs{'-' + board if board else ''}.cpio.gz"),
           "-append", "console=ttyAMA0 mem=1024M quiet printk.time=1 " + append]
    if card:
        # The card goes into the last slot made.
        cmd += ["-device", "sdhci-pci"] * BOARD_CARDS[board][1]
        cmd += ["-device", "sdhci-pci",
                "-drive", "if=none,id=sdcard,format=raw,file=" + card
                + (card_throttle(card_rate) if card_rate
                   else SLOW_CARD if slow else ""),
                "-device", "sd-card,drive=sdcard"]
    if usb:
        cmd += ["-device", "qemu-xhci",
                "-drive", "if=none,id=usbstick,format=raw,file=" + usb
                + (SLOW_STICK if slow else ""),
                "-device", "usb-storage,drive=usbstick"]
    return cmd


def run(cache, append="", card=None, usb=None, timeout=180, live=False,
        log=None, slow=False, board=None, card_rate=None):
    """Boots the emulated device; returns its Console. slow: the media at
    real media's speeds (SLOW_NAND, SLOW_CARD, SLOW_STICK). board: another
    board of boards/board.h (build-device CACHE BIN BOARD made its device).
    card_rate: the card's bytes a second, in place of SLOW_CARD's."""
    start = time.monotonic()
    media = [name for name, image in ((BOARD_CARDS[board][0], card), ("sda1", usb))
             if image]
    if media:
        append += " velnor.media=" + ",".join(media)
    # VELNOR_TARGET_SLOW=1: every boot at real media's speeds (the system
    # tests, run-device).
    slow = slow or os.environ.get("VELNOR_TARGET_SLOW") == "1"
    if slow:
        append += " " + SLOW_NAND
    # VELNOR_TARGET_APPEND: more kernel arguments, to look into a run (for
    # one, "loglevel=7" shows the kernel's warnings that "quiet" hides).
    if os.environ.get("VELNOR_TARGET_APPEND"):
        append += " " + os.environ["VELNOR_TARGET_APPEND"]
    proc = subprocess.Popen(qemu_command(cache, append, card, usb, slow, board,
                                         card_rate),
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    os.set_blocking(proc.stdout.fileno(), False)
    chunks, timed_out = [], False
    while True:
        if time.monotonic() - start > timeout:
            proc.kill()
            timed_out = True
        chunk = proc.stdout.read()
        if chunk:
            chunks.append((time.monotonic() - start, chunk))
            if live:
                sys.stdout.buffer.write(chunk)
                sys.stdout.flush()
        elif proc.poll() is not None:
            break
        else:
            select.select([proc.stdout], [], [], 0.05)
    raw = b"".join(chunk for _, chunk in chunks)
    text = raw.decode("utf-8", "replace").replace("\r\n", "\n")
    if log:
        with open(log, "w") as f:
            f.write(text)
    return Console(text, timed_out, time.monotonic() - start,
                   timed_lines(chunks))


def timed_lines(chunks):
    """Each line with the time its last byte arrived."""
    lines, pending = [], b""
    for at, chunk in chunks:
        *done, pending = (pending + chunk).split(b"\n")
        lines += [(at, line.decode("utf-8", "replace").rstrip("\r"))
                  for line in done]
    return lines
