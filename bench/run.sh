#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The benchmark, in one command (as root): installs what is missing, builds the
# daemon and the benchmark's programs, runs everything in the test sandbox and
# prints the table. See bench/README.md.
#
#   bash bench/run.sh [--quick] [--runs N] [--fast-runs N] [--skip-fuser] [--publish]
#                     [--build DIR] [--fairness | --filesystems | --answers | --watch]
#
#   --quick       small scales and 3 runs: a check of the benchmark itself
#   --runs N      runs of the peers and of the kill with holders (default 5)
#   --fast-runs N runs of the floor and the daemon's calls (default 11)
#   --skip-fuser  leave fuser out (the slowest peer by far)
#   --publish     also write bench/results.md and bench/scan-time.png
#   --build DIR   the build folder (default build-bench)
#   --fairness    only the latency of one user's cheap call while others list
#   --answers     only the wipe of box roots with 0, 300 and 3,000 subdirectories
#                 under load, and the kill's confirming scan (bench/answers.py)
#   --filesystems only the boxes on tmpfs, overlayfs and btrfs, and the listing
#                 while another user holds many deep descriptors (bench/filesystems.py,
#                 which the full run also runs after the main table)
#   --watch       only the box watch (bench/boxwatch.cpp, no daemon): the cost of
#                 its hooks to an open-and-close loop, the time from a close or a
#                 kill to its hint, its CPU time with 64 idle boxes; then the same
#                 for its /proc polling fallback, and the loop under a fanotify
#                 mark instead
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
arkvane_require_root

build_dir="$ARKVANE_SOURCE_DIR/build-bench"
driver_args=()
filesystems_args=()
run_driver=1
run_filesystems=1
run_watch=
watch_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) driver_args+=(--quick --runs 3 --fast-runs 3); filesystems_args+=(--quick); watch_args+=(--quick) ;;
        --runs) driver_args+=(--runs "$2"); filesystems_args+=(--runs "$2"); shift ;;
        --fast-runs) driver_args+=(--fast-runs "$2"); shift ;;
        --skip-fuser) driver_args+=(--skip-fuser) ;;
        --publish) driver_args+=(--publish "$ARKVANE_SOURCE_DIR/bench") ;;
        --build) build_dir=$(realpath -m "$2"); shift ;;
        --fairness) driver_args+=(--fairness); run_filesystems= ;;
        --filesystems) run_driver= ;;
        --answers) driver_args+=(--answers); run_filesystems= ;;
        --watch) run_watch=1; run_driver=; run_filesystems= ;;
        *) echo "usage: bash bench/run.sh [--quick] [--runs N] [--fast-runs N] [--skip-fuser] [--publish] [--build DIR] [--fairness | --filesystems | --answers | --watch]" >&2
           exit 2 ;;
    esac
    shift
done

# lsof and fuser are the peers; gnuplot draws the plot.
arkvane_install_missing "${ARKVANE_PACKAGES[@]}" lsof psmisc gnuplot-nox

# The daemon as it ships (optimised, no sanitizer), without the tests.
arkvane_build "$build_dir" arkvane-bench -DARKVANE_TESTS=OFF -DARKVANE_SANITIZE=OFF

# The distribution's Python, as the tests use it.
python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
status=0
if [ -n "$run_driver" ]; then
    # The benchmark's client is the admitted backup tool, for the wipes.
    "$python" "$ARKVANE_SOURCE_DIR/tests/sandbox/arkvane-sandbox" \
        --backup-tool "$build_dir/bench/arkvane-bench-client" -- \
        "$python" "$ARKVANE_SOURCE_DIR/bench/driver.py" \
        --build "$build_dir" --out "$ARKVANE_SOURCE_DIR/bench/results" "${driver_args[@]}" || status=$?
fi
if [ -n "$run_filesystems" ]; then
    "$python" "$ARKVANE_SOURCE_DIR/tests/sandbox/arkvane-sandbox" -- \
        "$python" "$ARKVANE_SOURCE_DIR/bench/filesystems.py" \
        --build "$build_dir" "${filesystems_args[@]}" || status=$?
fi
if [ -n "$run_watch" ]; then
    # Runs as root outside the sandbox: it starts no daemon, watches only the
    # boxes it makes under /tmp and kills only its own children.
    "$build_dir/bench/arkvane-bench-watch" "${watch_args[@]}" || status=$?
    "$build_dir/bench/arkvane-bench-watch" --polling "${watch_args[@]}" || status=$?
    "$build_dir/bench/arkvane-bench-watch" --fanotify "${watch_args[@]}" || status=$?
fi
exit $status
