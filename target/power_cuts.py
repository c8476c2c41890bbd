"""Power cuts inside UBI's own header writes, on the emulated device, and the
same stories cut between whole flash operations on the simulated device.

For each mode that writes the flash, a walk cuts the power after 0, 1, 2,
... header writes (erase counter and volume identifier headers, the kernel's
own count) in the boot that writes, until one run writes them all without a
cut. After each cut the device boots again with no new request; it must
reach switch_root within three boots, into one package's images (the
volumes' CRCs are the new package's or the backup's, never one of each), and
the programs must never have seen the cut (the harness ends the boot at it).
Every outcome (which firmware, after how many boots) must be one that the
simulated device's walk of the same story also produces.
"""
import concurrent.futures
import json
import os
import re
import shutil
import subprocess
import zlib

import device
from media import make_disk, make_firmware

NEW, BACKUP = "2.1.0.0", "1.0.0.0"
# The backup's firmware signed with the tests' trusted key: installed first
# by the keyed bootstrap from "packages/update.bpk2" (it refuses an unsigned
# "update.bpk2" beside it), so that a story can start from installed
# firmware with no backup on the card.
SIGNED_BACKUP = "signed-" + BACKUP
KEYED = "/sbin/velnor-bootstrap-keyed"
FURTHER_BOOTS = 4
# A chip of 64 erase blocks (8 MiB) instead of the board's 1024: UBI
# erases every block of a blank flash before the first volume update, one
# erase-counter header write each, and a walk tries each of them.
FLASH_BLOCKS_LOG2 = 6
FLASH_SIZE = "8M"
# The test command's cut points: right after the attach, inside the first
# volume's making, and inside its writing (or the erasures before it).
SAMPLE = (0, 4, 25)
# How many points in a row must complete uncut to end a walk: a margin, in
# case a run makes a few header writes more than another.
STOP_AFTER = 6
MAX_WRITES = 1000  # after the cut: three must do, one more tells "later"
NEW_INIT = re.compile(r"^velnor test firmware (\S+) running$")
VOLUME = re.compile(r"^velnor-harness: volume (\S+): (\d+) bytes, crc 0x([0-9a-f]{8})(.*)$", re.M)
AFTER_THE_CUT = ("Read-only file system", "Watchdog pipe closed")
DAMAGE = "#!/bin/sh\nexec $VELNOR_SIM_EMULATOR '{}' \"$@\"\n"


class Mode:
    """A story whose boot number cut_boot writes the flash. programs: the
    first process of each boot ("/init" is the bootstrap, P:A runs P with
    argument A; the last repeats); setflag: the register's value before the
    cut boot, as a service tool would set it; lost: the register loses
    its value with the power (it reads 0 after the cut); foreign: erase
    blocks of another system's data in the UBI partition at power-on."""

    def __init__(self, name, title, cut_boot, flag=0, programs=("/init",),
                 setflag=None, card=None, usb=None, foreign=0, lost=False):
        self.name, self.title, self.cut_boot = name, title, cut_boot
        self.flag, self.programs, self.setflag = flag, programs, setflag
        self.card = card or {"update.bpk2": NEW, "backup.bpk2": BACKUP}
        self.usb, self.foreign, self.lost = usb, foreign, lost

    def program(self, n):
        return self.programs[min(n, len(self.programs) - 1)].split(":")


MODES = [
    Mode("update_installed", "update by the register over installed firmware",
         cut_boot=2, programs=("/init:rescue", "/init"), setflag=0x55500000),
    Mode("update_blank", "update onto blank flash", cut_boot=1, flag=0x55500000),
    Mode("rescue", "rescue over installed firmware", cut_boot=2,
         programs=("/init:update", "/init"), setflag=0x52450000),
    Mode("usb_update", "USB update over installed firmware", cut_boot=2,
         programs=("/init:rescue", "/init"), setflag=0x55420000,
         card={"backup.bpk2": BACKUP}, usb={"update.bpk2": NEW}),
    Mode("fallback_rescue", "fallback rescue of a normal boot that found a damaged volume",
         cut_boot=3, flag=0x55500000,
         programs=("/init", "/usr/bin/velnor-damage-volume:rootfs", "/init")),
    Mode("foreign_data", "update onto a partition holding foreign data (erased first)",
         cut_boot=1, flag=0x55500000, foreign=64),
    # No backup on the card: the firmware the device had must stay until
    # the new one is in place.
    Mode("update_no_backup", "update by the register over installed firmware, no backup",
         cut_boot=2, programs=(KEYED + ":update", "/init"), setflag=0x55500000,
         card={"update.bpk2": NEW, "packages/update.bpk2": SIGNED_BACKUP}),
    Mode("usb_no_backup", "USB update over installed firmware, no backup",
         cut_boot=2, programs=(KEYED + ":update", "/init"), setflag=0x55420000,
         card={"packages/update.bpk2": SIGNED_BACKUP}, usb={"update.bpk2": NEW}),
    Mode("update_no_backup_lost", "the same, the register lost with the power",
         cut_boot=2, programs=(KEYED + ":update", "/init"), setflag=0x55500000,
         card={"update.bpk2": NEW, "packages/update.bpk2": SIGNED_BACKUP}, lost=True),
]


class Packages:
    """The two packages of every walk, with small images (a kernel of a few
    KiB, a root file system of a few erase blocks) so that a walk is short;
    and the CRCs of each one's images."""

    def __init__(self, work, cache, host_bin):
        self.path, self.crcs = {}, {}
        for version in (NEW, BACKUP):
            kernel = os.path.join(work, f"kernel-{version}")
            with open(kernel, "wb") as f:
                f.write((f"kernel of firmware {version}\n" * 2000).encode())
            self.path[version] = make_firmware(work, cache, host_bin, version,
                                               kernel=kernel, tag="-small")
            rootfs = os.path.join(work, f"rootfs-small-{version}.squashfs")
            self.crcs[version] = {"kernel": crc_of(kernel), "rootfs": crc_of(rootfs)}
        signed = os.path.join(work, f"firmware-small-{SIGNED_BACKUP}.bpk2")
        if not os.path.exists(signed):
            shutil.copy(self.path[BACKUP], signed)
            subprocess.run([os.path.join(host_bin, "velnor-pack"), "sign", signed, "--key",
                            os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                         "tests", "keys", "trusted.key")],
                           check=True, stdout=subprocess.DEVNULL)
        self.path[SIGNED_BACKUP] = signed

    def which(self, volumes):
        """The firmware whose images the volumes hold: a version, "mix",
        or "none"."""
        for version, crcs in self.crcs.items():
            if all(volumes.get(name) == crc for name, crc in crcs.items()):
                return version
        if any(volumes.get(name) == crc for crcs in self.crcs.values()
               for name, crc in crcs.items()):
            return "mix"
        return "none"


def crc_of(path):
    with open(path, "rb") as f:
        return f"{zlib.crc32(f.read()):08x}"


class Run:
    """One cut point on the emulated device: cut (whether the power was cut
    at all), boots (after the cut, to switch_root; None: never), firmware
    (what the volumes hold at the end), faults (what went wrong)."""

    def __init__(self, writes):
        self.writes, self.cut, self.boots, self.firmware = writes, False, None, "none"
        self.faults, self.retried = [], False
        self.complete = False  # the writing boot ended by itself, uncut

    def outcome(self):
        return (self.firmware, self.boots)


def run_emulated(ctx, packages, mode, writes):
    """run_once, again when the emulated machine stopped answering (about one
    run in a hundred stops with no line and no watchdog reset, the harness
    waiting; see docs/RELIABILITY.md): the Run, with retried set."""
    run = run_once(ctx, packages, mode, writes)
    if run.faults == ["timed out"]:
        run = run_once(ctx, packages, mode, writes)
        run.retried = True
    return run


def run_once(ctx, packages, mode, writes):
    """Cuts the power after writes header writes in the mode's writing
    boot, then boots on; returns the Run."""
    run = Run(writes)
    boots = mode.cut_boot + FURTHER_BOOTS
    append = [f"nandsim.overridesize={FLASH_BLOCKS_LOG2}",
              f"velnor.boots={boots}", f"velnor.flag={mode.flag:#x}",
              "velnor.programs=" + ",".join(mode.programs),
              f"velnor.cut={mode.cut_boot}:{writes}", "velnor.report=1"]
    setflags = []
    if mode.setflag is not None:
        setflags.append(f"{mode.cut_boot}:{mode.setflag:#x}")
    if mode.lost:
        setflags.append(f"{mode.cut_boot + 1}:0x0")
    if setflags:
        append.append("velnor.setflag=" + ",".join(setflags))
    if mode.foreign:
        append.append(f"velnor.foreign={mode.foreign}")
    tag = f"{mode.name}-{writes}"
    card = make_disk(ctx.work, tag + "-card", "ext3",
                     {k: packages.path[v] for k, v in mode.card.items()})
    usb = None
    if mode.usb:
        usb = make_disk(ctx.work, tag + "-usb", "vfat",
                        {k: packages.path[v] for k, v in mode.usb.items()})
    console = device.run(ctx.cache, " ".join(append), card=card, usb=usb, timeout=240,
                         log=os.path.join(ctx.work, tag + ".log"))
    for image in (card, usb):
        if image:
            os.unlink(image)
    if console.timed_out:
        run.faults.append("timed out")
    if console.watchdog_reset:
        run.faults.append("the watchdog restarted the device")
    ends = [how for how, _ in console.ends]
    if len(ends) < mode.cut_boot:
        run.faults.append(f"the boots ended {console.ends} before the cut's boot")
        return run
    run.cut = ends[mode.cut_boot - 1] == "power cut"
    run.complete = not run.cut
    # The boot ends at the cut: no program may print what it would print
    # once the flash refuses writes, or once the bootstrap is gone.
    seen = [line for line in console.program_lines(mode.cut_boot)
            if any(after in line for after in AFTER_THE_CUT)]
    if seen:
        run.faults.append("a program went on after the cut: " + seen[0])
    first = mode.cut_boot + (1 if run.cut else 0)
    running = None
    for n in range(first, len(ends) + 1):
        inits = [m.group(1) for line in console.program_lines(n) for m in [NEW_INIT.match(line)] if m]
        if inits:
            run.boots, running = n - mode.cut_boot, inits[0]
            break
    volumes = {m.group(1): m.group(3) for m in VOLUME.finditer(console.text)
               if m.group(4) == ""}
    run.firmware = packages.which(volumes)
    if running is None:
        run.faults.append("never reached switch_root")
    elif running != run.firmware:
        run.faults.append(f"firmware {running} ran, the volumes hold {run.firmware}")
    if run.firmware not in (NEW, BACKUP):
        run.faults.append(f"the volumes hold {run.firmware}: " +
                          "; ".join(m.group(0) for m in VOLUME.finditer(console.text)))
    elif run.boots is not None and run.boots > 3:
        run.faults.append(f"switch_root only after {run.boots} boots")
    return run


def sim_outcomes(ctx, packages, mode):
    """The simulated device's walk of the same story, cut after each
    operation on the flash: the set of outcomes, and the cut points."""
    outcomes, points = set(), 0
    sim = os.path.join(ctx.host_bin, "velnor-sim")
    for n in range(1, 2000):
        dev = os.path.join(ctx.work, f"sim-{mode.name}")
        shutil.rmtree(dev, ignore_errors=True)
        ctx.sim("init", dev, "--nand-size", FLASH_SIZE,
                *(["--foreign-data"] if mode.foreign else []))
        ctx.sim("card", dev, *[f"{packages.path[v]}={k}" for k, v in mode.card.items()])
        if mode.usb:
            ctx.sim("usb", dev, *[f"{packages.path[v]}={k}" for k, v in mode.usb.items()])
        ctx.sim("flag", dev, f"{mode.flag:#x}")
        outcome = None
        for boot in range(1, mode.cut_boot + FURTHER_BOOTS + 1):
            program, *args = mode.program(boot - 1)
            init = []
            if program != "/init":
                tool = os.path.join(dev, "root", program.lstrip("/"))
                os.makedirs(os.path.dirname(tool), exist_ok=True)
                with open(tool, "w") as f:
                    f.write(DAMAGE.format(os.path.join(ctx.host_bin,
                                                       os.path.basename(program) + "-sim")))
                os.chmod(tool, 0o755)
                init = ["--init", program]
            if boot == mode.cut_boot:
                if mode.setflag is not None:
                    ctx.sim("flag", dev, f"{mode.setflag:#x}")
                init += ["--power-cut-after", str(n)]
            elif boot > mode.cut_boot:
                args = []
                if mode.lost and boot == mode.cut_boot + 1:
                    ctx.sim("flag", dev, "0")
            subprocess.run([sim, "boot", dev, *init, "--", *args],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            state = json.loads(ctx.sim("show", dev).stdout)
            how = (state.get("boot") or {}).get("outcome")
            if boot == mode.cut_boot and how != "power_cut":
                return outcomes, points
            if boot > mode.cut_boot and how == "switch_root":
                volumes = {v["name"]: v["crc32"] for v in state["volumes"]
                           if not v["upd_marker"]}
                outcome = (packages.which(volumes), boot - mode.cut_boot)
                break
        points += 1
        outcomes.add(outcome or ("none", None))
    return outcomes, points


def walk(ctx, modes, writes_of, jobs=2, say=print):
    """Walks each mode over the cut points writes_of(mode) gives (a list, or
    None for every point from 0 until STOP_AFTER points in a row complete
    without a cut). Returns {mode name: summary dict}; say reports each
    failed point."""
    packages = Packages(ctx.work, ctx.cache, ctx.host_bin)
    results = {}
    for mode in modes:
        simulated, sim_points = sim_outcomes(ctx, packages, mode)
        chosen = writes_of(mode)
        runs, n, uncut = [], 0, 0
        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            while True:
                batch = chosen if chosen is not None else range(n, n + jobs)
                done = list(pool.map(lambda w: run_emulated(ctx, packages, mode, w), batch))
                runs += done
                for r in done:
                    uncut = uncut + 1 if r.complete else 0
                if chosen is not None or uncut >= STOP_AFTER:
                    break
                n += jobs
                if n > MAX_WRITES:
                    say(f"--- power cut {mode.name}: no run completed within {MAX_WRITES} writes")
                    break
        complete = [r.writes for r in runs if r.complete]
        summary = {"title": mode.title, "tried": 0, "within3": 0, "later": 0, "never": 0,
                   "failed": 0, "sim_points": sim_points, "outcomes": set(),
                   "retried": sum(1 for r in runs if r.retried)}
        for r in runs:
            if r.cut:
                summary["tried"] += 1
                bucket = ("never" if r.boots is None or r.firmware not in (NEW, BACKUP)
                          else "within3" if r.boots <= 3 else "later")
                summary[bucket] += 1
                summary["outcomes"].add(r.outcome())
                if r.outcome() not in simulated:
                    r.faults.append(f"outcome {r.outcome()} is not one of the simulated "
                                    f"device's {sorted(simulated, key=str)}")
            if r.faults:
                summary["failed"] += 1
                say(f"--- power cut {mode.name} after {r.writes} header writes: "
                    + "; ".join(r.faults))

        if chosen is None and not complete:
            summary["failed"] += 1
        results[mode.name] = summary
    return results
