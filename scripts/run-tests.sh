#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what is missing, builds the plain and the sanitizer build, and runs
# every test in both.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
arkvane_require_root
arkvane_install_missing "${ARKVANE_PACKAGES[@]}"
arkvane_test_both_builds --output-on-failure
