# SPDX-License-Identifier: GPL-2.0-or-later
"""What the true answers cost (driver.py --answers): the wipe of a box root with
0, 300 and 3,000 empty subdirectories while 19,900 descriptors are held in
another box (one holder scan per wipe, whatever the box root holds), and a
kill that signalled 100 holders (scan, signals, wait for their exits, the
confirming scan) beside one that found nobody (one scan). Both engines."""

import os
import shutil
import statistics
import subprocess

from driver import SCRATCH, Daemon, Failure, Workload, json_line, log, machine_facts

SUBDIRECTORIES = (0, 300, 3000)
ELSEWHERE = ("/home/bob/.box/bench", 1, 19900, 8)  # box, processes, files each, outside each
HOLDERS = (100, 10)  # processes holding files in alice's box, files each
ALICE = (1001, 1101)
BOX = "/home/alice/.box"


def fresh_box(subdirectories):
    if os.path.lexists(BOX):
        shutil.rmtree(BOX)
    os.mkdir(BOX, 0o700)
    for i in range(subdirectories):
        os.mkdir(f"{BOX}/d{i:05d}")
    os.chown(BOX, *ALICE)


def median(values):
    return statistics.median(values)


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
            rows.append((engine, wipes, {k: median(v) for k, v in kills.items()}))
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
    for engine, wipes, kills in rows:
        cells = [f"{wipes[0]:.1f}"] + [f"{wipes[n]:.1f} ({wipes[n] / wipes[0]:.2f}x)" for n in SUBDIRECTORIES[1:]]
        lines.append(f"| {engine} | " + " | ".join(cells)
                     + f" | {kills['signalled']:.1f} | {kills['nobody']:.1f} |")
    print("\n".join(lines))
    return 0
