# SPDX-License-Identifier: GPL-2.0-or-later
"""The daemon on boxes of several file systems, and a listing while another
user holds many descriptors of one deep file.

Boxes: on tmpfs, on an overlay (a home in a container or a live system: the
layers on tmpfs), on a btrfs subvolume mounted as a home (a loop file), and
on tmpfs with the /proc walk forced. Each holds the workload of driver.py's
largest scale; the listing is timed against the floor's files walk and the
kill's scan of an empty directory in the box against its pids walk, each
right after its floor, round by round; × floor is the median of the per-round
ratios, as in driver.py.

Deep descriptors: alice holds 60,000 descriptors of one file in her home,
outside every box, in processes of her own: first a file just below her home,
then one 8,000 levels deep; bob's box, on the same file system, has 1,000
files held. Bob's box is listed, and its kill scan run, with none of alice's
descriptors and with each, by the kernel engine and by the /proc walk: the
shallow file shows what so many descriptors cost at all, the deep one what
depth adds.

Runs only inside tests/sandbox/arkvane-sandbox (bench/run.sh starts it there);
every mount and loop device goes with the sandbox's mount namespace.

    filesystems.py --build DIR [--runs N] [--quick]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import driver  # noqa: E402  (beside this file; refuses to run outside the sandbox)

SCRATCH = driver.SCRATCH
DEEP_LEVELS = 8000
ALICE = 1001
# Descriptors per holder of the deep file: below the sandbox's hard limit.
PER_HOLDER = 15000


def median(values):
    return statistics.median(values) if values else float("nan")


def sh(*argv):
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL)


def loop_device(image):
    """A free loop device over image, its node made in the sandbox's own /dev;
    it is released when the last mount of it goes."""
    if not os.path.exists("/dev/loop-control"):
        os.mknod("/dev/loop-control", 0o600 | 0o020000, os.makedev(10, 237))
    for _ in range(5):  # another run may take the same device first
        number = int(subprocess.run(["losetup", "-f"], capture_output=True, text=True,
                                    check=True).stdout.strip().removeprefix("/dev/loop"))
        device = f"/dev/loop{number}"
        if not os.path.exists(device):
            os.mknod(device, 0o600 | 0o060000, os.makedev(7, number))
        if subprocess.run(["losetup", device, image], capture_output=True).returncode == 0:
            return device
    raise driver.Failure("no free loop device")


def box_on(kind):
    """A directory for the box on a file system of kind: its path."""
    top = os.path.join(SCRATCH, kind)
    os.makedirs(top)
    if kind == "overlay":
        for layer in ("lower", "upper", "work", "merged"):
            os.makedirs(os.path.join(top, layer))
        sh("mount", "-t", "overlay", "bench-overlay", "-o",
           f"lowerdir={top}/lower,upperdir={top}/upper,workdir={top}/work", f"{top}/merged")
        os.makedirs(f"{top}/merged/home")
        return os.path.join(top, "merged", "home")
    if kind == "btrfs":
        image = os.path.join(top, "image")
        with open(image, "wb") as f:
            f.truncate(2 << 30)
        sh("mkfs.btrfs", "-q", image)
        device = loop_device(image)
        os.makedirs(f"{top}/fs")
        os.makedirs(f"{top}/home")
        sh("mount", "-t", "btrfs", device, f"{top}/fs")
        sh("losetup", "-d", device)  # autoclear: the device goes with its last mount
        sh("btrfs", "-q", "subvolume", "create", f"{top}/fs/home")
        sh("mount", "-t", "btrfs", "-o", "subvol=home", device, f"{top}/home")
        return os.path.join(top, "home")
    return top


class Runner:
    def __init__(self, args):
        bench_args = argparse.Namespace(build=args.build, runs=args.runs, fast_runs=args.runs,
                                        quick=args.quick, skip_fuser=True)
        self.bench = driver.Bench(bench_args)
        self.bench.bus_pid = driver.bus_daemon_pid()
        self.runs = args.runs
        self.scale = driver.QUICK_SCALES[1] if args.quick else driver.SCALES[2]
        self.deep = 20000 if args.quick else 60000  # descriptors alice holds
        self.mismatches = []

    def check(self, what, got, expected):
        if got != expected:
            self.mismatches.append(f"{what}: {got}, expected {expected}")
            driver.log(f"  MISMATCH {what}: {got}, expected {expected}")

    def timed(self, plan):
        """Rounds of (key, measure, expected counts, reference key): the
        median time and the median ratio to the reference in the same round."""
        figures = {}
        for _ in range(self.runs):
            this_round = {}
            for key, measure, expected, reference in plan:
                ms, counts = measure()
                for what, value in expected.items():
                    self.check(f"{key} {what}", counts.get(what), value)
                this_round[key] = ms
                entry = figures.setdefault(key, {"ms": [], "ratio": []})
                entry["ms"].append(ms)
                if reference:
                    entry["ratio"].append(ms / this_round[reference])
        return {key: (median(e["ms"]), median(e["ratio"])) for key, e in figures.items()}

    def file_systems(self):
        """Rows of (box on, engine, descriptors, listing ms and × floor, kill
        scan ms and × floor)."""
        name, procs, files, outside_fds = self.scale
        rows = []
        for kind, engines in (("tmpfs", ("kernel", "proc")), ("overlay", ("kernel",)),
                              ("btrfs", ("kernel",))):
            box = os.path.join(box_on(kind), ".box")
            empty = os.path.join(box, "none")
            driver.log(f"== box on {kind}, {name}")
            workload = driver.Workload(self.bench.workload_bin, box, box + "-outside", procs,
                                       files, outside_fds)
            os.makedirs(empty)
            held = procs * files
            try:
                for engine in engines:
                    self.bench.use_engine(engine)
                    plan = [
                        ("floor files", lambda: self.bench.floor("files", box + "/"),
                         {"existing": held}, None),
                        ("listing", lambda: self.bench.daemon_files(box),
                         {"result": 0, "files": held}, "floor files"),
                        ("floor pids", lambda: self.bench.floor("pids", empty + "/"),
                         {"pids": 0}, None),
                        ("kill scan", lambda: self.bench.daemon_kill(empty), {"result": 0},
                         "floor pids"),
                    ]
                    got = self.timed(plan)
                    self.check(f"{kind} {engine}: holders left", workload.alive_count(), procs)
                    descriptors = driver.json_line([self.bench.walk, "pids", empty + "/"],
                                                   "walk")["descriptors"]
                    rows.append((kind, engine, descriptors, got["listing"], got["kill scan"]))
                    driver.log(f"  {engine}: listing {got['listing'][1]:.2f}x, "
                               f"kill scan {got['kill scan'][1]:.2f}x")
            finally:
                workload.end()
        return rows

    def deep_descriptors(self):
        """Bob's listing and kill scan, each engine: (engine, call, (ms, result
        codes) with none held, with alice's descriptors of a file in her home,
        with as many of one DEEP_LEVELS deep)."""
        top = os.path.join(SCRATCH, "deep")
        bob_box = os.path.join(top, "bob", ".box")
        os.makedirs(os.path.join(bob_box, "none"))
        bobs = driver.Workload(self.bench.workload_bin, bob_box, bob_box + "-outside", 100, 10, 4)
        alice_home = os.path.join(top, "alice")
        os.makedirs(alice_home)
        os.chown(alice_home, ALICE, ALICE)
        try:
            figures = [self.bob_calls(bob_box)]
            for levels in (0, DEEP_LEVELS):
                directory = make_tree(alice_home, levels)
                driver.log(f"== alice holds {self.deep} descriptors {levels} levels below her home")
                read_end, write_end = os.pipe()
                holders = [hold_as_alice(directory, min(PER_HOLDER, self.deep - start), read_end,
                                         write_end) for start in range(0, self.deep, PER_HOLDER)]
                os.close(read_end)
                try:
                    figures.append(self.bob_calls(bob_box))
                finally:
                    os.close(write_end)
                    for pid in holders:
                        os.waitpid(pid, 0)
                    os.close(directory)
        finally:
            bobs.end()
        return [(engine, call, *(f[engine, call] for f in figures)) for engine, call in sorted(figures[0])]

    def bob_calls(self, box):
        calls = {}
        for engine in ("kernel", "proc"):
            self.bench.use_engine(engine)
            for call, measure in (("listing", lambda: self.bench.daemon_files(box)),
                                  ("kill scan", lambda: self.bench.daemon_kill(box + "/none"))):
                times, cpu, results = [], [], set()
                for _ in range(self.runs):
                    ms, counts = measure()
                    times.append(ms)
                    cpu.append(counts["daemon_cpu_ms"])
                    results.add(counts["result"])
                calls[engine, call] = (median(times), median(cpu), sorted(results))
        return calls


def make_tree(home, levels):
    """A file "f" levels directories below home, made by alice: an open
    descriptor of its directory (its path may be longer than a path can be)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setgid(ALICE)
            os.setuid(ALICE)
            fd = os.open(home, os.O_PATH)
            os.mkdir(f"t{levels}", dir_fd=fd)
            fd = os.open(f"t{levels}", os.O_PATH, dir_fd=fd)
            for _ in range(levels):
                os.mkdir("d", dir_fd=fd)
                fd = os.open("d", os.O_PATH, dir_fd=fd)
            os.close(os.open("f", os.O_CREAT | os.O_RDONLY, 0o644, dir_fd=fd))
            code = 0
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    if status != 0:
        raise driver.Failure("alice could not make her tree")
    fd = os.open(os.path.join(home, f"t{levels}"), os.O_PATH)
    for _ in range(levels):
        fd, parent = os.open("d", os.O_PATH, dir_fd=fd), fd
        os.close(parent)
    return fd


def hold_as_alice(directory, count, read_end, write_end):
    """A process of alice's holding count descriptors of directory's file "f"
    until write_end closes: its pid, once it holds them."""
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(write_end)
            os.close(ready_r)
            os.setgid(ALICE)
            os.setuid(ALICE)
            held = os.open("f", os.O_RDONLY, dir_fd=directory)
            for _ in range(count - 1):
                os.dup(held)
            os.write(ready_w, b"r")
            os.read(read_end, 1)
        finally:
            os._exit(0)
    os.close(ready_w)
    ok = os.read(ready_r, 1) == b"r"
    os.close(ready_r)
    if not ok:
        raise driver.Failure("alice's holder did not start")
    return pid


def main():
    parser = argparse.ArgumentParser(prog="filesystems.py")
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    args.runs = 3 if args.quick else args.runs
    runner = Runner(args)
    try:
        rows = runner.file_systems()
        deep = runner.deep_descriptors()
    finally:
        if runner.bench.daemon:
            runner.bench.daemon.stop()
    print(f"\n| box on | engine | descriptors | listing ms | × floor | kill scan ms | × floor |")
    print("|---|---|---:|---:|---:|---:|---:|")
    for kind, engine, descriptors, (list_ms, list_x), (kill_ms, kill_x) in rows:
        engine = "kernel" if engine == "kernel" else "/proc walk (forced)"
        print(f"| {kind} | {engine} | {descriptors:,} | {list_ms:.0f} | {list_x:.2f} | "
              f"{kill_ms:.0f} | {kill_x:.2f} |")
    print(f"\nBob's box (1,000 files held) while alice holds {runner.deep:,} descriptors of one "
          f"file in her home, just below it or {DEEP_LEVELS:,} levels deep, against none held "
          f"(ms from call to reply / the daemon's processor ms, medians of {args.runs}; "
          f"[result codes]; deep ÷ none, both ways):\n")
    print("| engine | call | none held | shallow held | deep held | deep ÷ none |")
    print("|---|---|---:|---:|---:|---:|")
    for engine, call, *held in deep:
        cells = " | ".join(f"{ms:.1f} / {cpu:.1f} {codes}" for ms, cpu, codes in held)
        print(f"| {engine} | {call} | {cells} | {held[2][0] / held[0][0]:.2f} / "
              f"{held[2][1] / held[0][1]:.2f} |")
    if runner.mismatches:
        print("MISMATCHES:\n  " + "\n  ".join(runner.mismatches))
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except driver.Failure as failure:
        sys.exit(f"benchmark failed: {failure}")
