#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Checks that every C and C++ source is laid out as .clang-format says, or
# with --fix lays it out so. The trimmed kernel types header is the kernel's.
#
#   bash scripts/format.sh [--fix]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
mode=(--dry-run -Werror)
[ "${1:-}" = --fix ] && mode=(-i)
git ls-files '*.c' '*.cpp' '*.h' | grep -v '^src/proc/kernelscan/vmlinux\.h$' |
    xargs clang-format "${mode[@]}"
