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


def qemu_command(cache, append, card=None, usb=None):
    cmd = ["qemu-system-arm", "-M", "virt,highmem=off", "-cpu", "cortex-a15",
           "-smp", "1", "-m", "3G", "-display", "none", "-nic", "none",
           "-monitor", "none", "-no-reboot", "-serial", "stdio",
           "-kernel", os.path.join(cache, "vmlinuz"),
           "-initrd", os.path.join(cache, "initramfs.cpio.gz"),
           "-append", "console=ttyAMA0 mem=1024M quiet printk.time=1 " + append]
    if card:
        cmd += ["-device", "sdhci-pci",
                "-drive", "if=none,id=sdcard,format=raw,file=" + card,
                "-device", "sd-card,drive=sdcard"]
    if usb:
        cmd += ["-device", "qemu-xhci",
                "-drive", "if=none,id=usbstick,format=raw,file=" + usb,
                "-device", "usb-storage,drive=usbstick"]
    return cmd


def run(cache, append="", card=None, usb=None, timeout=180, live=False,
        log=None):
    """Boots the emulated device; returns its Console."""
    start = time.monotonic()
    media = [name for name, image in (("mmcblk0p1", card), ("sda1", usb))
             if image]
    if media:
        append += " velnor.media=" + ",".join(media)
    proc = subprocess.Popen(qemu_command(cache, append, card, usb),
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
