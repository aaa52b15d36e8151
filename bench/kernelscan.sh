#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The kernel scan engine against the floor, in one command (as root): builds
# as bench/run.sh does and runs bench/kernelscan.py in the test sandbox.
#
#   bash bench/kernelscan.sh [--quick] [--runs N] [--build DIR]
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
arkvane_require_root

build_dir="$ARKVANE_SOURCE_DIR/build-bench"
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) args+=(--quick --runs 3) ;;
        --runs) args+=(--runs "$2"); shift ;;
        --build) build_dir=$(realpath -m "$2"); shift ;;
        *) echo "usage: bash bench/kernelscan.sh [--quick] [--runs N] [--build DIR]" >&2; exit 2 ;;
    esac
    shift
done

arkvane_install_missing "${ARKVANE_PACKAGES[@]}"
arkvane_build "$build_dir" arkvane-bench -DARKVANE_TESTS=OFF -DARKVANE_SANITIZE=OFF

python=/usr/bin/python3
[ -x "$python" ] || python=$(command -v python3)
exec "$python" "$ARKVANE_SOURCE_DIR/tests/sandbox/arkvane-sandbox" --no-bus -- \
    "$python" "$ARKVANE_SOURCE_DIR/bench/kernelscan.py" --build "$build_dir" "${args[@]}"
