# SPDX-License-Identifier: GPL-2.0-or-later
"""The benchmark's table (Markdown) and plot (PNG) from one run's figures."""

import os
import shutil
import statistics
import subprocess
import tempfile

# key, label
ROWS = [
    ("floor_files", "floor, files mode (walk, hash set, one `stat` per file)"),
    ("daemon_files", "**daemon `get_allRunFileList`**, call to reply (kernel engine)"),
    ("daemon_files_proc", "daemon `get_allRunFileList`, the /proc walk forced"),
    ("floor_pids_empty", "floor, pids mode, a path where nothing is held (full walk)"),
    ("daemon_kill_empty", "**daemon `kill_allProcessSignal`**, nothing held (full scan, no kill; kernel engine)"),
    ("daemon_kill_empty_proc", "daemon `kill_allProcessSignal`, nothing held, the /proc walk forced"),
    ("floor_pids_box", "floor, pids mode, the box (stops at a process's first match)"),
    ("floor_pids_box_kill", "floor, pids mode, the box, just before each kill below"),
    ("daemon_kill_box", "daemon `kill_allProcessSignal`, the box (scan, then every holder killed; kernel engine)"),
    ("daemon_kill_box_proc", "daemon `kill_allProcessSignal`, the box, the /proc walk forced"),
    ("lsof_dir", "`lsof -n -P +D BOX`"),
    ("lsof_grep", "`lsof -n -P \\| grep -F BOX/`"),
    ("fuser", "`fuser FILE...` (every held file named)"),
]
FLOORS = {"floor_files": "files", "floor_pids_empty": "pids", "floor_pids_box": "pids",
          "floor_pids_box_kill": "pids"}
REFERENCES = {"daemon_files": "floor_files", "daemon_kill_empty": "floor_pids_empty",
              "daemon_files_proc": "floor_files", "daemon_kill_empty_proc": "floor_pids_empty",
              "daemon_kill_box_proc": "floor_pids_box_kill",
              "daemon_kill_box": "floor_pids_box_kill", "lsof_dir": "floor_files",
              "lsof_grep": "floor_files", "fuser": "floor_files"}

# key, title in the plot
PLOTTED = [
    ("daemon_files", "daemon get\\_allRunFileList (kernel)"),
    ("daemon_kill_empty", "daemon kill scan, nothing held (kernel)"),
    ("daemon_files_proc", "daemon get\\_allRunFileList (/proc walk)"),
    ("daemon_kill_empty_proc", "daemon kill scan (/proc walk)"),
    ("floor_files", "floor, files mode"),
    ("floor_pids_empty", "floor, pids mode (full walk)"),
    ("lsof_grep", "lsof | grep"),
    ("lsof_dir", "lsof +D"),
    ("fuser", "fuser FILE..."),
]

COLOURS = ["#c0392b", "#e67e22", "#f1948a", "#f5cba7", "#2c3e50", "#7f8c8d", "#2980b9",
           "#27ae60", "#8e44ad"]

LISTING_TARGET = 1.3
KILL_TARGET = 1.0
# The kernel engine at the largest scale.
KERNEL_LISTING_TARGET = 0.4
KERNEL_KILL_TARGET = 0.2
GROWTH_TARGET = 1.1  # 2x the descriptors, at most 2.2x the time
IDLE_TARGET_KIB = 12 * 1024


def median(values):
    return statistics.median(values)


def ms_text(value):
    if value < 10:
        return f"{value:.2f}"
    if value < 100:
        return f"{value:.1f}"
    return f"{value:,.0f}"


def mib(kib):
    return f"{kib / 1024:.2f}"


def counts_text(key, counts, scale):
    if counts is None:
        return ""
    if key == "floor_files":
        return f"{counts['existing']:,} files, {counts['pids']:,} pids"
    if key.startswith("floor_pids"):
        return f"{counts['pids']:,} pids"
    if key.startswith("daemon_files"):
        return f"{counts['files']:,} files"
    if key.startswith("daemon_kill_empty"):
        return f"result {counts['result']}, {scale['procs']:,} alive"
    if key.startswith("daemon_kill_box"):
        return f"result {counts['result']}, {counts['killed']:,} killed"
    if key in ("lsof_dir", "lsof_grep"):
        return f"{counts['lines']:,} lines, {counts['files']:,} files, {counts['pids']:,} pids"
    if key == "fuser":
        return f"{counts['files']:,} files, {counts['pids']:,} pids"
    return ""


def ratio(scale, key, cpu=False):
    """The median over the rounds of the tool's time divided by its floor's
    time in the same round."""
    tool = scale["tools"].get(key)
    values = tool and tool["cpu_ratios" if cpu else "ratios"]
    return median(values) if values else None


def growth(scales, key, cpu=False):
    """Per pair of consecutive many-process scales: how much the time per
    descriptor grew (1.0 is exactly linear)."""
    many = [s for s in scales if s["procs"] > 1 and key in s["tools"]]
    figure = "cpu_ms" if cpu else "ms"
    out = []
    for small, large in zip(many, many[1:]):
        time_ratio = (median(large["tools"][key][figure])
                      / median(small["tools"][key][figure]))
        descriptor_ratio = large["descriptors"] / small["descriptors"]
        out.append((small, large, time_ratio / descriptor_ratio))
    return out


def scale_title(scale):
    return (f"{scale['name']}: {scale['descriptors']:,} descriptors read in "
            f"{scale['processes_read']:,} processes, {scale['held']:,} files held in the box")


def ratio_cell(value):
    return f"{value:.2f}" if value is not None else ""


def target_rows(scales, memory):
    rows = []
    largest = max(scales, key=lambda s: s["descriptors"])
    for key, target, label in (
            ("daemon_files", KERNEL_LISTING_TARGET,
             f"kernel engine: `get_allRunFileList` time ÷ floor files ≤ {KERNEL_LISTING_TARGET} "
             f"at the largest scale"),
            ("daemon_kill_empty", KERNEL_KILL_TARGET,
             f"kernel engine: kill scan time ÷ floor pids ≤ {KERNEL_KILL_TARGET} "
             f"at the largest scale")):
        values = [ratio(s, key) if s is largest else None for s in scales]
        met = ratio(largest, key) is not None and ratio(largest, key) <= target
        rows.append((label, [ratio_cell(v) for v in values], "yes" if met else "**no**"))
    for key, label in (
            ("daemon_files", "kernel engine: `get_allRunFileList` time ÷ floor files"),
            ("daemon_kill_empty", "kernel engine: kill scan time ÷ floor pids"),
            ("daemon_files_proc", "/proc walk: `get_allRunFileList` processor time ÷ floor files"),
            ("daemon_kill_empty_proc", "/proc walk: kill scan processor time ÷ floor pids")):
        rows.append((label, [ratio_cell(ratio(s, key, cpu="processor" in label))
                             for s in scales], ""))
    for key, target, label in (
            ("daemon_files_proc", LISTING_TARGET,
             f"/proc walk: `get_allRunFileList` time ÷ floor files ≤ {LISTING_TARGET}"),
            ("daemon_kill_empty_proc", KILL_TARGET,
             f"/proc walk: kill scan time ÷ floor pids ≤ {KILL_TARGET}")):
        values = [ratio(s, key) for s in scales]
        met = all(v is not None and v <= target for v in values)
        rows.append((label, [ratio_cell(v) for v in values], "yes" if met else "**no**"))
    for key, label in (
            ("daemon_files", "`get_allRunFileList` processor time ÷ floor files (all processes)"),
            ("daemon_kill_empty", "kill scan processor time ÷ floor pids (all processes)")):
        rows.append((label, [ratio_cell(ratio(s, key, cpu=True)) for s in scales], ""))
    for key, label, cpu, judged in (
            ("daemon_files", "`get_allRunFileList`: time", False, True),
            ("daemon_kill_empty", "kill scan: time", False, True),
            ("floor_files", "floor files, for comparison: time", False, False),
            ("floor_pids_empty", "floor pids, for comparison: time", False, False),
            ("daemon_files", "`get_allRunFileList`: processor time", True, False),
            ("daemon_kill_empty", "kill scan: processor time", True, False),
            ("floor_files", "floor files: processor time", True, False),
            ("floor_pids_empty", "floor pids: processor time", True, False)):
        steps = growth(scales, key, cpu)
        cells = []
        for s in scales:
            step = next((g for _, large, g in steps if large is s), None)
            cells.append(ratio_cell(step))
        met = ""
        if judged:
            met = "yes" if all(g <= GROWTH_TARGET for _, _, g in steps) else "**no**"
        bound = f" ≤ {GROWTH_TARGET}" if judged else ""
        rows.append((f"{label} per descriptor ÷ the previous scale's{bound}", cells, met))
    idle = memory["idle_kib"]
    rows.append(("idle RSS ≤ 12 MiB", [f"{idle:,} KiB"] + [""] * (len(scales) - 1),
                 "yes" if idle <= IDLE_TARGET_KIB else "**no**"))
    return rows


def markdown(results, plot_name):
    machine = results["machine"]
    memory = results["memory"]
    scales = results["scales"]
    bad = set()
    for line in results["mismatches"]:
        scale_name, tool = line.split(": ", 2)[:2]
        bad.add((scale_name, tool))
    lines = []
    add = lines.append
    add(f"# Benchmark run of {machine['date']}")
    add("")
    load = results.get("load_before", (0, 0, 0))[0], results.get("load_after", (0, 0, 0))[0]
    add(f"{machine['os']}, kernel {machine['kernel']}, {machine['cpu']}, "
        f"{machine['cores']} cores, {machine['memory_gib']} GiB; lsof {machine['lsof']}, "
        f"{machine['fuser']}; descriptor limit {machine['descriptor_limit']:,}, "
        f"pid limit {machine['pid_max']:,}; load average {load[0]:.1f} at the start and "
        f"{load[1]:.1f} at the end.")
    add("")
    add(f"Times in milliseconds: the median of {results['fast_runs']} runs for the floor and the "
        f"daemon, of {results['runs']} for the peers (fewer where a run takes minutes) and for "
        f"the kill with holders, with the fastest and the slowest run. × floor is the median "
        f"over the runs of the time divided "
        f"by the floor's time in the same round. CPU is the processor time of every process "
        f"involved (for the daemon's calls: the daemon, the bus daemon and the client). A bus "
        f"round trip to the daemon (`Peer.Ping`) takes {ms_text(median(results['ping_ms']))} ms.")
    add("")
    if results["mismatches"]:
        add("**Counts that did not match** (the times of these tools are not to be believed):")
        add("")
        for line in results["mismatches"]:
            add(f"- {line}")
        add("")

    add("## Targets")
    add("")
    add("| Target | " + " | ".join(s["name"] for s in scales) + " | Met |")
    add("|---" + "|---:" * len(scales) + "|---|")
    for label, cells, met in target_rows(scales, memory):
        add(f"| {label} | " + " | ".join(cells) + f" | {met} |")
    add("")

    for scale in scales:
        add(f"## {scale_title(scale)}")
        add("")
        add("| What | Runs | Median | Min | Max | × floor | CPU | CPU × floor | Counts |")
        add("|---|---:|---:|---:|---:|---:|---:|---:|---|")
        for key, label in ROWS:
            tool = scale["tools"].get(key)
            if not tool or not tool["ms"]:
                continue
            if key in FLOORS:
                times_floor, cpu_floor = f"1 ({FLOORS[key]})", "1"
            else:
                reference = FLOORS[REFERENCES[key]]
                times_floor = f"{ratio_cell(ratio(scale, key))} {reference}"
                cpu_floor = ratio_cell(ratio(scale, key, cpu=True))
            mark = " ✗" if (scale["name"], key) in bad else " ✓"
            add(f"| {label} | {len(tool['ms'])} | {ms_text(median(tool['ms']))} | "
                f"{ms_text(min(tool['ms']))} | "
                f"{ms_text(max(tool['ms']))} | {times_floor} | "
                f"{ms_text(median(tool['cpu_ms']))} | {cpu_floor} | "
                f"{counts_text(key, tool['counts'], scale)}{mark} |")
        notes = []
        for key, what in (("daemon_files", "listing"), ("daemon_kill_empty", "kill scan")):
            tool = scale["tools"].get(key)
            if not tool or "daemon_cpu_ms" not in (tool["counts"] or {}):
                continue
            own = median(tool["daemon_cpu_ms"])
            floor = median(scale["tools"][REFERENCES[key]]["cpu_ms"])
            notes.append(f"In the {what}, the daemon itself used {ms_text(own)} ms of processor "
                         f"time ({own / floor:.2f} × the floor's), the bus daemon "
                         f"{ms_text(median(tool['bus_cpu_ms']))} ms and the client "
                         f"{ms_text(median(tool['client_cpu_ms']))} ms.")
        decode = (scale["tools"].get("daemon_files") or {}).get("counts") or {}
        if "decode_ms" in decode:
            notes.append(f"The Qt client then took {ms_text(decode['decode_ms'])} ms (last run) "
                         f"to read the reply as `CBoxFileList`; that is not in the daemon's "
                         f"figure.")
        if notes:
            add("")
            add(" ".join(notes))
        add("")

    engines = results.get("engines")
    if engines:
        add("## The two engines: start-up and idle memory")
        add("")
        add("| Daemon | Starts | Start to \"gogogo\", median ms | Idle VmRSS, median MiB | Its line |")
        add("|---|---:|---:|---:|---|")
        for engine in ("kernel", "proc"):
            figures = engines[engine]
            add(f"| {engine} | {len(figures['start_ms'])} | {ms_text(median(figures['start_ms']))} | "
                f"{mib(median(figures['idle_kib']))} | {figures['line']} |")
        add("")
        add("Fresh daemons started in turn; the kernel engine loads on a thread of its own, "
            "so its load is not in the start-up time, and its memory is taken once it loaded.")
        add("")

    add("## Daemon memory")
    add("")
    add("| State | MiB |")
    add("|---|---:|")
    add(f"| idle, after start-up (VmRSS) | {mib(memory['idle_kib'])} |")
    if "idle_anon_kib" in memory:
        add(f"| of which pages of the program and its shared libraries (RssFile) | "
            f"{mib(memory['idle_file_kib'])} |")
        add(f"| of which the daemon's own memory (RssAnon) | {mib(memory['idle_anon_kib'])} |")
    if "peak_listing_kib" in memory:
        add(f"| peak during the calls of {memory['peak_listing_scale']} (VmHWM) | "
            f"{mib(memory['peak_listing_kib'])} |")
        add(f"| after those calls (VmRSS) | {mib(memory['after_listing_kib'])} |")
    add(f"| after every scale (VmRSS) | {mib(memory['idle_after_kib'])} |")
    add(f"| a fresh daemon, idle (VmRSS) | {mib(memory['idle_fresh_kib'])} |")
    add(f"| after 10,000 certification entries made by root (VmRSS) | "
        f"{mib(memory['after_entries_kib'])} |")
    add(f"| the same, 5 s later with their timers ticking (VmRSS) | "
        f"{mib(memory['after_entries_ticking_kib'])} |")
    add("")
    add(f"Making the 10,000 entries took {ms_text(memory['certify_ms'])} ms (64 calls in flight). "
        f"Their timers then cost the daemon {memory['ticking_cpu_percent']:.0f} % of one core, "
        f"writing {memory['tick_lines_per_second']:,.0f} debug lines a second.")
    add("")
    add(f"![Time against descriptors]({plot_name})")
    add("")
    return "\n".join(lines)


def plot(results, png_path):
    """Draws the plot with gnuplot; False when gnuplot is not there."""
    gnuplot = shutil.which("gnuplot")
    if not gnuplot:
        return False
    scales = results["scales"]
    many = [s for s in scales if s["procs"] > 1]
    single = [s for s in scales if s["procs"] == 1]
    keys = [k for k, _ in PLOTTED if all(k in s["tools"] for s in scales)]
    titles = dict(PLOTTED)
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "scan-time.dat")
        with open(data, "w") as f:
            for block in (many, single):
                f.write("descriptors " + " ".join(keys) + "\n")
                for s in block:
                    f.write(f"{s['descriptors']} "
                            + " ".join(f"{median(s['tools'][k]['ms']):.3f}" for k in keys) + "\n")
                f.write("\n\n")
        single_name = single[0]["name"] if single else ""
        plots = []
        for i, key in enumerate(keys):
            column = i + 2
            plots.append(f"'{data}' index 0 using 1:{column} with linespoints lw 2 pt 7 "
                         f"lc rgb '{COLOURS[i % len(COLOURS)]}' title '{titles[key]}'")
        if single:
            for i, key in enumerate(keys):
                plots.append(f"'{data}' index 1 using 1:{i + 2} with points pt 6 ps 2 "
                             f"lc rgb '{COLOURS[i % len(COLOURS)]}' notitle")
        script = "\n".join([
            "set terminal pngcairo size 1000,650 font 'sans,10'" if _has_cairo(gnuplot)
            else "set terminal png size 1000,650",
            f"set output '{png_path}'",
            "set logscale xy",
            "set grid",
            "set key left top",
            "set xlabel 'descriptors read in /proc'",
            "set ylabel 'time (ms, median)'",
            f"set title 'Box scan time against descriptors ({results['machine']['date']}); "
            f"filled: N processes, open circles: {single_name}'",
            "set format x '%.0s%c'",
            "set format y '%.0s%c'",
            "set xrange [1000:200000]",
            "plot " + ", \\\n  ".join(plots),
        ])
        done = subprocess.run([gnuplot], input=script, text=True, capture_output=True,
                              timeout=120)
        if done.returncode != 0:
            print(done.stderr, flush=True)
            return False
    return True


def _has_cairo(gnuplot):
    done = subprocess.run([gnuplot, "-e", "set terminal"], capture_output=True, text=True,
                          timeout=60)
    return "pngcairo" in done.stdout + done.stderr
