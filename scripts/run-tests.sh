#!/usr/bin/env bash
# Installs what is missing, builds the plain and the sanitizer build, and runs
# every test in both.
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
    (cd "$dir" && ctest --output-on-failure) || status=1
done
exit $status
