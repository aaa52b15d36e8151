# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by the two set-up commands: what to install, how to build.
set -euo pipefail

ARKVANE_SOURCE_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian 12 packages the build, the daemon and the tests need.
ARKVANE_PACKAGES=(
    g++ make cmake pkg-config
    qtbase5-dev qtbase5-dev-tools libmount-dev
    dbus-daemon dbus-bin dbus-system-bus-common systemd util-linux bsdutils mount
    python3 python3-seccomp groff-base man-db fuse3 libfuse3-dev btrfs-progs
    clang llvm bpftool libbpf-dev clang-format clang-tidy
)

# What the optional system test (tests/system/run.sh) needs besides: the
# package build, a Debian root to boot, and the container tools.
ARKVANE_SYSTEM_TEST_PACKAGES=(git debhelper dpkg-dev debootstrap systemd-container)

arkvane_require_root() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "$(basename "$0"): run this as root (it installs packages; the daemon runs as root)" >&2
        exit 1
    fi
}

arkvane_install_missing() {
    local missing=() package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# arkvane_build DIR TARGET [CMAKE OPTION...]
arkvane_build() {
    local dir=$1 target=$2
    shift 2
    cmake -S "$ARKVANE_SOURCE_DIR" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" --target "$target" -j"$(nproc)"
}

# arkvane_test_both_builds [CTEST OPTION...]: builds the plain and the
# sanitizer build and runs ctest in each; fails when either fails.
arkvane_test_both_builds() {
    local status=0 variant dir options
    for variant in build build-asan; do
        dir="$ARKVANE_SOURCE_DIR/$variant"
        options=(-DARKVANE_TESTS=ON)
        [ "$variant" = build-asan ] && options+=(-DARKVANE_SANITIZE=ON)
        echo "== $variant"
        arkvane_build "$dir" all "${options[@]}"
        (cd "$dir" && ctest "$@") || status=1
    done
    return $status
}
