#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Runs clang-tidy (.clang-tidy's checks) over every C++ source of src/ with
# the compile commands of the build folder given; fails on any finding.
#
#   bash scripts/tidy.sh BUILD_DIR
set -euo pipefail
source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${1:?usage: bash scripts/tidy.sh BUILD_DIR}
cd "$source_dir"
git ls-files 'src/*.cpp' | grep -v '\.bpf\.c$' |
    xargs -P "$(nproc)" -n 4 clang-tidy -p "$build_dir" --quiet 2>/dev/null
