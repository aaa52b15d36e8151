# SPDX-License-Identifier: GPL-2.0-or-later
"""The kernel scan engine on its own against the floor, on the benchmark's
workloads: the engine's files mode (every descriptor below the box, "still
linked" decided in the kernel, deduplicated) against the floor's files mode,
and its holders mode against the floor's pids mode, on the box (stops at a
process's first match) and on an empty directory in it (nothing matches).

Runs only inside tests/sandbox/arkvane-sandbox (bench/kernelscan.sh starts it
there). Each tool runs right after its floor, round by round; × floor is the
median of the per-round ratios, as in driver.py.

    kernelscan.py --build DIR [--runs N] [--quick]
"""

import argparse
import json
import os
import shutil
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import driver  # noqa: E402  (beside this file; refuses to run outside the sandbox)


def median(values):
    return statistics.median(values) if values else float("nan")


def run_scale(args, index, name, procs, files, outside_fds):
    walk = os.path.join(args.build, "bench", "arkvane-bench-walk")
    engine = os.path.join(args.build, "bench", "arkvane-bench-kernelscan")
    workload_bin = os.path.join(args.build, "bench", "arkvane-bench-workload")
    root = os.path.join(driver.SCRATCH, f"kscale{index}")
    box = os.path.join(root, ".box")
    empty = os.path.join(box, "none")
    held = procs * files
    os.makedirs(root, exist_ok=True)
    workload = driver.Workload(workload_bin, box, box + "-outside", procs, files, outside_fds)
    os.makedirs(empty, exist_ok=True)
    mismatches = []
    figures = {}
    load = None

    def check(tool, what, got, expected):
        if got != expected:
            mismatches.append(f"{name}: {tool}: {what} {got}, expected {expected}")

    def engine_run(mode, path):
        nonlocal load
        _, _, out, err = driver.run_tool([engine, mode, path])
        lines = [json.loads(line) for line in out.splitlines() if line.strip()]
        if not lines or "error" in lines[-1] or len(lines) < 2:
            raise driver.Failure(f"the engine failed: {out!r} {err!r}")
        load = lines[0]
        return lines[-1]

    try:
        # Names first, then the timing; the first runs also warm /proc.
        listing = os.path.join(driver.SCRATCH, "engine-files.txt")
        driver.run_tool([engine, "files", box, "1", "--list", listing])
        with open(listing) as f:
            found = set(f.read().split("\n")) - {""}
        expected = {os.path.join(box, f"p{p:05d}", f"f{f:05d}")
                    for p in range(procs) for f in range(files)}
        check("engine files", "file names", found == expected, True)
        pid_list = os.path.join(driver.SCRATCH, "engine-pids.txt")
        driver.run_tool([engine, "holders", box, "1", "--list", pid_list])
        with open(pid_list) as f:
            check("engine holders", "pids", {int(p) for p in f.read().split()} == workload.pids,
                  True)
        driver.json_line([walk, "files", box + "/"], "walk")

        plan = [
            ("floor files", lambda: driver.json_line([walk, "files", box + "/"], "walk"),
             {"existing": held, "pids": procs}, None),
            ("engine files", lambda: engine_run("files", box),
             {"existing": held, "files": held, "pids": procs, "undecided": 0}, "floor files"),
            ("floor pids, nothing held", lambda: driver.json_line([walk, "pids", empty + "/"], "walk"),
             {"pids": 0}, None),
            ("engine holders, nothing held", lambda: engine_run("holders", empty),
             {"pids": 0}, "floor pids, nothing held"),
            ("floor pids, the box", lambda: driver.json_line([walk, "pids", box + "/"], "walk"),
             {"pids": procs}, None),
            ("engine holders, the box", lambda: engine_run("holders", box),
             {"pids": procs, "undecided": 0}, "floor pids, the box"),
        ]
        for _ in range(args.runs):
            this_round = {}
            for tool, measure, counts, reference in plan:
                result = measure()
                for what, value in counts.items():
                    check(tool, what, result.get(what), value)
                entry = figures.setdefault(tool, {"ms": [], "cpu": [], "ratio": []})
                entry["ms"].append(result["ms"])
                entry["cpu"].append(result["cpu_ms"])
                this_round[tool] = result["ms"]
                if reference:
                    entry["ratio"].append(result["ms"] / this_round[reference])
        descriptors = driver.json_line([walk, "pids", empty + "/"], "walk")["descriptors"]
    finally:
        workload.end()
        shutil.rmtree(root, ignore_errors=True)
    return {"name": name, "descriptors": descriptors, "figures": figures, "load": load,
            "mismatches": mismatches}


def main():
    parser = argparse.ArgumentParser(prog="kernelscan.py")
    parser.add_argument("--build", required=True)
    parser.add_argument("--runs", type=int, default=11)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    scales = driver.QUICK_SCALES if args.quick else driver.SCALES
    mismatches = []
    print("| Scale | Descriptors | What | Median ms | Min | Max | CPU ms | × floor |")
    print("|---|---:|---|---:|---:|---:|---:|---:|")
    loads = []
    for index, (name, procs, files, outside_fds) in enumerate(scales):
        driver.log(f"== {name}")
        scale = run_scale(args, index, name, procs, files, outside_fds)
        mismatches += scale["mismatches"]
        loads.append(scale["load"])
        for tool, entry in scale["figures"].items():
            ratio = f"{median(entry['ratio']):.3f}" if entry["ratio"] else "1"
            print(f"| {name} | {scale['descriptors']:,} | {tool} | {median(entry['ms']):.2f} | "
                  f"{min(entry['ms']):.2f} | {max(entry['ms']):.2f} | "
                  f"{median(entry['cpu']):.2f} | {ratio} |", flush=True)
    last = loads[-1]
    print(f"\nEngine load (last run): {last['load_ms']:.1f} ms; kernel memory of the program "
          f"and its maps {last['kernel_bytes'] / 1024:.0f} KiB; the loading process's RSS "
          f"{last['rss_before_kib']} KiB before, {last['rss_loaded_kib']} KiB after loading.")
    if mismatches:
        print("COUNT MISMATCHES:\n  " + "\n  ".join(mismatches))
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except driver.Failure as failure:
        sys.exit(f"benchmark failed: {failure}")
