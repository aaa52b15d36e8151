#!/usr/bin/env bash
# The long robustness run: 20,000 hostile calls and 120 s of load by eight
# clients, in the plain and the sanitizer build.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
arkvane_require_root
arkvane_install_missing "${ARKVANE_PACKAGES[@]}"

status=0
for variant in build build-asan; do
    dir="$ARKVANE_SOURCE_DIR/$variant"
    options=(-DARKVANE_TESTS=ON)
    [ "$variant" = build-asan ] && options+=(-DARKVANE_SANITIZE=ON)
    echo "== $variant"
    arkvane_build "$dir" all "${options[@]}"
    (cd "$dir" && ARKVANE_ROBUSTNESS=long ctest -R robustness --output-on-failure -V) || status=1
done
exit $status
