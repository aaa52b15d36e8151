#!/usr/bin/env bash
# The long robustness run: 20,000 hostile calls and 120 s of load by eight
# clients, in the plain and the sanitizer build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
arkvane_require_root
arkvane_install_missing "${ARKVANE_PACKAGES[@]}"
ARKVANE_ROBUSTNESS=long arkvane_test_both_builds -R robustness --output-on-failure -V
