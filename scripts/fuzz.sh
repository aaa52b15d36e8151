#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs every fuzz target (fuzz/) for SECONDS each, on a copy of its seed
# corpus, and prints one line per target:
#   NAME: N executions in S s, K crashes
# A crash's input is kept in build-fuzz/crashes/NAME/; add it to
# fuzz/corpus/NAME once the fault is mended, so every build tests it.
#
#   bash scripts/fuzz.sh SECONDS
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
seconds=${1:?usage: bash scripts/fuzz.sh SECONDS}
arkvane_install_missing "${ARKVANE_PACKAGES[@]}"
dir="$ARKVANE_SOURCE_DIR/build-fuzz"
targets=(mountinfo utf8text logescape pathtext procstat)
CC=clang CXX=clang++ cmake -S "$ARKVANE_SOURCE_DIR" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DARKVANE_FUZZ=ON -DARKVANE_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/#/fuzz-}" >/dev/null
status=0
for name in "${targets[@]}"; do
    work=$(mktemp -d)
    cp -r "$ARKVANE_SOURCE_DIR/fuzz/corpus/$name/." "$work/"
    crashes="$dir/crashes/$name"
    mkdir -p "$crashes"
    before=$(find "$crashes" -type f | wc -l)
    log="$dir/fuzz-$name.log"
    "$dir/fuzz/fuzz-$name" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$crashes/" \
        "$work" >"$log" 2>&1 || status=1
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
    found=$(( $(find "$crashes" -type f | wc -l) - before ))
    echo "$name: ${executions:-0} executions in ${elapsed:-$seconds} s, $found crashes"
    rm -rf "$work"
done
exit $status
