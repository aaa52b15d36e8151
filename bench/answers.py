# SPDX-License-Identifier: GPL-2.0-or-later
"""What the true answers cost (driver.py --answers): the wipe of a box root with
0, 300 and 3,000 empty subdirectories while 19,900 descriptors are held in
another box (one holder scan per wipe, whatever the box root holds), and a
kill that signalled 100 holders (scan, signals, wait for their exits, the
confirming scan) beside one that found nobody (one scan); then bob's wipe
alone, and sent just after alice's wipe, which faces a holder stopped at its
exit by its tracer and a respawner that opens the file again after each
kill. Both engines."""

import ctypes
import os
import select
import shutil
import signal
import json
import statistics
import subprocess

from driver import SCRATCH, Daemon, Failure, Workload, json_line, log, machine_facts

SUBDIRECTORIES = (0, 300, 3000)
ELSEWHERE = ("/home/bob/.box/bench", 1, 19900, 8)  # box, processes, files each, outside each
HOLDERS = (100, 10)  # processes holding files in alice's box, files each
ALICE = (1001, 1101)
BOB = (1002, 1102)
BOX = "/home/alice/.box"
BOB_BOX = "/home/bob/.box"
LIBC = ctypes.CDLL(None, use_errno=True)
PTRACE_SEIZE, PTRACE_O_TRACEEXIT, PR_SET_PDEATHSIG, PR_SET_DUMPABLE = 0x4206, 0x40, 1, 4


def fresh_box(subdirectories):
    if os.path.lexists(BOX):
        shutil.rmtree(BOX)
    os.mkdir(BOX, 0o700)
    for i in range(subdirectories):
        os.mkdir(f"{BOX}/d{i:05d}")
    os.chown(BOX, *ALICE)


def median(values):
    return statistics.median(values)


def as_alice():
    os.setgroups([])
    os.setresgid(*[ALICE[1]] * 3)
    os.setresuid(*[ALICE[0]] * 3)
    LIBC.prctl(PR_SET_DUMPABLE, 1)  # a change of user made it undumpable: untraceable


def hold_forever(path, ready):
    """In a child: holds path, says so on ready, and waits to be killed."""
    LIBC.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    try:
        os.open(path, os.O_RDONLY)
        if ready is not None:
            os.write(ready, b"x")
    except OSError:
        os._exit(1)
    while True:
        signal.pause()


def hostile_holders(path):
    """alice's holder of path traced with PTRACE_O_TRACEEXIT by a parent that never
    lets it past its exit stop, and a respawner that makes a new holder whenever
    one is killed; their two pids once both hold it (the first after its seize)."""
    read_end, ready = os.pipe()
    pids = []
    for kind in ("traced", "respawner"):
        pid = os.fork()
        if pid == 0:
            as_alice()
            held_r, held_w = os.pipe()
            child = os.fork()
            if child == 0:
                hold_forever(path, held_w)
            if kind == "traced":
                if LIBC.ptrace(PTRACE_SEIZE, child, None, PTRACE_O_TRACEEXIT) != 0 or os.read(held_r, 1) != b"x":
                    os._exit(1)
                os.write(ready, b"x")
                while True:
                    signal.pause()
            os.write(ready, os.read(held_r, 1))
            while True:  # the respawner
                _, status = os.waitpid(child, 0)
                if not os.WIFSIGNALED(status):
                    os._exit(0)
                child = os.fork()
                if child == 0:
                    hold_forever(path, None)
        pids.append(pid)
    os.close(ready)
    for _ in pids:
        if not select.select([read_end], [], [], 30)[0] or os.read(read_end, 1) != b"x":
            end_holders(pids)
            raise Failure("alice's hostile holders did not start")
    os.close(read_end)
    return pids


def end_holders(pids):
    for pid in pids:  # their holders die with them (PR_SET_PDEATHSIG)
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)


def fresh_bob_box():
    if os.path.lexists(BOB_BOX):
        shutil.rmtree(BOB_BOX)
    os.mkdir(BOB_BOX, 0o700)
    os.chown(BOB_BOX, *BOB)


def bob_beside_hostile_rounds(runs):
    """bob's wipe alone, and sent just after alice's wipe that faces the traced
    holder and the respawner: ms of each, and alice's wipes (ms, result)."""
    alone, beside, alices = [], [], []
    for _ in range(runs):
        fresh_bob_box()
        figures = json_line(["/usr/bin/quellard", "wipe", "bob"], "bob's wipe")
        if figures.get("result") != 0:
            raise Failure(f"bob's wipe alone answered {figures}")
        alone.append(figures["ms"])
    for _ in range(runs):
        fresh_bob_box()
        fresh_box(0)
        held = f"{BOX}/held"
        open(held, "w").close()
        os.chown(held, *ALICE)
        pids = hostile_holders(held)
        try:
            alice = subprocess.Popen(["/usr/bin/quellard", "wipe", "alice"], stdout=subprocess.PIPE,
                                     text=True, cwd="/")
            figures = json_line(["/usr/bin/quellard", "wipe", "bob"], "bob's wipe")
            alice_figures = json.loads(alice.communicate(timeout=120)[0].strip().splitlines()[-1])
        finally:
            end_holders(pids)
        if figures.get("result") != 0:
            raise Failure(f"bob's wipe beside alice's answered {figures}")
        beside.append(figures["ms"])
        alices.append((alice_figures["ms"], alice_figures["result"]))
    fresh_bob_box()
    log(f"  bob's wipe alone: {', '.join(f'{t:.1f}' for t in alone)} ms; beside alice's: "
        f"{', '.join(f'{t:.1f}' for t in beside)} ms; alice's: {alices}")
    return median(alone), median(beside), alices


def run(args):
    build = os.path.abspath(args.build)
    binary = os.path.join(build, "src", "daemon", "arkvaned")
    client = os.path.join(build, "bench", "arkvane-bench-client")
    workload_bin = os.path.join(build, "bench", "arkvane-bench-workload")
    runs = 3 if args.quick else args.runs
    rows = []
    for engine in ("kernel", "proc"):
        daemon = Daemon(binary, engine)
        log(f"{engine}: {daemon.engine_line()}")
        box, procs, files, outside = ELSEWHERE
        elsewhere = Workload(workload_bin, box, box + "-outside", procs, files, outside)
        try:
            wipes = {}
            for count in SUBDIRECTORIES:
                times = []
                for _ in range(runs):
                    fresh_box(count)
                    # As the admitted backup tool, which the sandbox installed there.
                    figures = json_line(["/usr/bin/quellard", "wipe", "alice"], "the wipe")
                    if figures.get("result") != 0 or os.path.lexists(BOX):
                        raise Failure(f"the wipe of {count} subdirectories answered {figures}")
                    times.append(figures["ms"])
                wipes[count] = median(times)
                log(f"  wipe, {count} subdirectories: {', '.join(f'{t:.1f}' for t in times)} ms")
            kills = {"signalled": [], "nobody": []}
            for _ in range(runs):
                fresh_box(0)
                holders = Workload(workload_bin, BOX + "/held", BOX + "-outside", HOLDERS[0], HOLDERS[1], 8)
                figures = json_line([client, "kill", BOX], "the kill")
                ended = holders.end()
                if figures.get("result") != 0 or ended[1] != HOLDERS[0]:
                    raise Failure(f"the kill answered {figures}, ended {ended}")
                kills["signalled"].append(figures["ms"])
                figures = json_line([client, "kill", BOX], "the kill of nobody")
                kills["nobody"].append(figures["ms"])
                shutil.rmtree(BOX + "-outside", ignore_errors=True)
            elsewhere.end()
            hostile = bob_beside_hostile_rounds(runs)
            rows.append((engine, wipes, {k: median(v) for k, v in kills.items()}, hostile))
        finally:
            elsewhere.end()
            daemon.stop()
            shutil.rmtree(box, ignore_errors=True)
            shutil.rmtree(box + "-outside", ignore_errors=True)
    fresh_box(0)
    lines = [f"Run of {machine_facts()['date']}, {os.cpu_count()} cores; 19,900 descriptors held in "
             f"another box; medians of {runs} runs (ms, and the ratio to the wipe of an empty box root):",
             "", "| engine | wipe, empty | wipe, 300 subdirectories | wipe, 3,000 subdirectories | "
             f"kill, {HOLDERS[0]} holders signalled | kill, nobody |", "|---|---:|---:|---:|---:|---:|"]
    for engine, wipes, kills, _ in rows:
        cells = [f"{wipes[0]:.1f}"] + [f"{wipes[n]:.1f} ({wipes[n] / wipes[0]:.2f}x)" for n in SUBDIRECTORIES[1:]]
        lines.append(f"| {engine} | " + " | ".join(cells)
                     + f" | {kills['signalled']:.1f} | {kills['nobody']:.1f} |")
    lines += ["", "bob's wipe while alice's hostile rounds run (her wipe faces a holder stopped at its "
              f"exit by its tracer and a respawner; bob's is sent just after hers; medians of {runs}, ms):",
              "", "| engine | bob's wipe alone | bob's wipe beside alice's | ratio | alice's wipe (answer) |",
              "|---|---:|---:|---:|---:|"]
    for engine, _, _, (alone, beside, alices) in rows:
        alice_ms = median([ms for ms, _ in alices])
        answers = "/".join(sorted({str(result) for _, result in alices}))
        lines.append(f"| {engine} | {alone:.1f} | {beside:.1f} | {beside / alone:.2f}x | {alice_ms:.1f} ({answers}) |")
    print("\n".join(lines))
    return 0


# What placing unplaceable descriptors costs: bob's kill of his box (which
# holds PLACEMENT_TREE entries and no holder) while alice holds
# PLACEMENT_DESCRIPTORS files of her home at the end of a chain of
# PLACEMENT_LEVELS directories (deeper than the kernel prints), against the
# same kill with no such descriptor. The /proc walk reads each of them and
# walks bob's box once per scan to find their identities in it; the kernel
# engine places them by their dentries.
PLACEMENT_DESCRIPTORS = 1000
PLACEMENT_LEVELS = 3000
PLACEMENT_TREE = (100, 100)  # directories in bob's box, files in each
BOB = (1002, 1102)
HOLD_DEEP = """import os, sys
d = os.open(sys.argv[1], os.O_RDONLY)
for _ in range(int(sys.argv[2])):
    os.mkdir("d", dir_fd=d)
    d, up = os.open("d", os.O_RDONLY, dir_fd=d), os.close(d)
held = [os.open(f"f{i}", os.O_RDONLY | os.O_CREAT, 0o644, dir_fd=d) for i in range(int(sys.argv[3]))]
os.close(d)
print("ready", flush=True)
sys.stdin.read()
"""


def placement(args):
    build = os.path.abspath(args.build)
    binary = os.path.join(build, "src", "daemon", "arkvaned")
    client = os.path.join(build, "bench", "arkvane-bench-client")
    runs = 3 if args.quick else max(args.runs, 5)
    bob_box, base = "/home/bob/.box", "/home/alice/bench-deep"
    shutil.rmtree(bob_box, ignore_errors=True)
    os.mkdir(bob_box, 0o700)
    for i in range(PLACEMENT_TREE[0]):
        os.mkdir(f"{bob_box}/d{i:03d}")
        for j in range(PLACEMENT_TREE[1]):
            open(f"{bob_box}/d{i:03d}/f{j:03d}", "w").close()
    subprocess.run(["chown", "-R", f"{BOB[0]}:{BOB[1]}", bob_box], check=True)
    rows = []
    for engine in ("kernel", "proc"):
        daemon = Daemon(binary, engine)
        log(f"{engine}: {daemon.engine_line()}")
        times = {"none": [], "held": []}
        holder = None
        try:
            for case in ("none", "held"):
                if case == "held":
                    os.mkdir(base, 0o755)
                    os.chown(base, *ALICE)
                    holder = subprocess.Popen(
                        ["setpriv", f"--reuid={ALICE[0]}", f"--regid={ALICE[1]}", "--clear-groups", "--",
                         "python3", "-c", HOLD_DEEP, base, str(PLACEMENT_LEVELS), str(PLACEMENT_DESCRIPTORS)],
                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                    if holder.stdout.readline().strip() != "ready":
                        raise Failure("alice's deep holder did not start")
                for _ in range(runs):
                    figures = json_line([client, "kill", bob_box], "bob's kill")
                    if figures.get("result") != 0:
                        raise Failure(f"bob's kill answered {figures} ({engine}, {case})")
                    times[case].append(figures["ms"])
                log(f"  bob's kill, {case}: {', '.join(f'{t:.1f}' for t in times[case])} ms")
        finally:
            if holder:
                holder.stdin.close()
                holder.wait()
            daemon.stop()
            subprocess.run(["rm", "-rf", base])
        rows.append((engine, median(times["none"]), median(times["held"])))
    shutil.rmtree(bob_box, ignore_errors=True)
    os.mkdir(bob_box, 0o700)
    os.chown(bob_box, *BOB)
    lines = ["", f"bob's kill of his box ({PLACEMENT_TREE[0] * (PLACEMENT_TREE[1] + 1):,} entries, no holder), "
             f"with {PLACEMENT_DESCRIPTORS:,} descriptors of alice's {PLACEMENT_LEVELS:,} levels deep and "
             f"without; medians of {runs} runs (ms):", "",
             "| engine | kill, none | kill, 1,000 unplaceable held | ratio |", "|---|---:|---:|---:|"]
    for engine, none, held in rows:
        lines.append(f"| {engine} | {none:.1f} | {held:.1f} | {held / none:.2f}x |")
    print("\n".join(lines))
    return 0


# The answers' figures, then the placement's.
_answers_run = run


def run(args):
    return _answers_run(args) or placement(args)
