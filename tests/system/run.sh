#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# The package on a real systemd (as root; not in CTest or CI): boots a Debian 12
# root (made once in /tmp/arkvane-system/root, an overlay over it per run) with
# systemd-nspawn, installs the package built from this tree and runs its
# autopkgtests (debian/tests: activation, policy, journal, engine) there with
# autopkgtest's null server; then what needs this side: fairness under load
# (with the tree's benchmark tools), upgrade (to a second .deb made here) and
# purge. Mounts and processes live in private namespaces and go with it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
CACHE=/tmp/arkvane-system/root

if [ "${1:-}" != --inside ]; then
    arkvane_require_root
    arkvane_install_missing "${ARKVANE_PACKAGES[@]}" "${ARKVANE_SYSTEM_TEST_PACKAGES[@]}"
    started=$SECONDS
    work=$(mktemp -d /tmp/arkvane-system.XXXXXX)
    trap 'rm -rf "$work"' EXIT
    echo "== package"
    if [ -n "${ARKVANE_DEB:-}" ]; then    # one built already
        cp "$ARKVANE_DEB" "$work/"
    else
        mkdir "$work/src"
        (cd "$ARKVANE_SOURCE_DIR" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$work/src")
        (cd "$work/src" && dpkg-buildpackage -us -uc -b -j"$(nproc)" >"$work/build.log" 2>&1) \
            || { tail -30 "$work/build.log"; exit 1; }
    fi
    # The latency client and the holders of the load, built for this run
    # only, in a build folder of this checkout's own (a folder made from
    # another checkout's sources cannot be configured again).
    tools=/tmp/arkvane-system/tools-$(printf '%s' "$ARKVANE_SOURCE_DIR" | sha256sum | cut -c1-12)
    cmake -S "$ARKVANE_SOURCE_DIR" -B "$tools" -DARKVANE_TESTS=OFF -DARKVANE_KERNEL_SCAN=OFF >/dev/null
    cmake --build "$tools" -j2 --target arkvane-bench-client arkvane-bench-workload >/dev/null
    cp "$tools"/bench/arkvane-bench-{client,workload} "$work/"
    # The upgrade: the same package under a higher version.
    dpkg-deb -R "$work"/arkvane_*.deb "$work/next"
    sed -i 's/^Version: .*/&+next/' "$work/next/DEBIAN/control"
    dpkg-deb -b "$work/next" "$work/next.deb" >/dev/null
    # What the package and the measuring tools need besides; the root is made
    # again when this list changes.
    packages=systemd,systemd-sysv,dbus,libqt5core5a,libqt5dbus5,libbpf1,autopkgtest
    if [ "$(cat "$CACHE/.arkvane-packages" 2>/dev/null)" != "$packages" ]; then
        echo "== debootstrap (once)"
        mirror=$({ sed -n 's/^URIs: *//p;s/^deb \(http[^ ]*\) bookworm .*/\1/p' /etc/apt/sources.list.d/debian.sources /etc/apt/sources.list 2>/dev/null || true; } | head -1)
        rm -rf "$CACHE.new" "$CACHE"
        debootstrap --variant=minbase --include="$packages" \
            bookworm "$CACHE.new" "${mirror:-http://deb.debian.org/debian}" >"$work/debootstrap.log"
        echo "$packages" >"$CACHE.new/.arkvane-packages"
        mv "$CACHE.new" "$CACHE"
    fi
    status=0
    unshare --mount --propagation private bash "${BASH_SOURCE[0]}" --inside "$work" || status=$?
    echo "system test: $((SECONDS - started)) s"
    exit $status
fi

work=$2 nspawn= leader= passed=0 failed=0
cgroups=(/sys/fs/cgroup/systemd/arkvane-system-$$ /sys/fs/cgroup/unified/arkvane-system-$$)
stop() {
    if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
        [ -n "$leader" ] && kill -s RTMIN+4 "$leader" 2>/dev/null    # systemd: power off
        for _ in $(seq 100); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
        kill -0 "$nspawn" 2>/dev/null && kill -KILL "$nspawn"
        wait "$nspawn" || true
    fi
    mountpoint -q "$work/root" && umount "$work/root"
    mountpoint -q /run/systemd && umount /run/systemd
    # Back to the parent group, so this run's groups (and the container's below) can go.
    for group in "${cgroups[@]}"; do
        [ -d "$group" ] && echo $$ >"${group%/*}/cgroup.procs" && find "$group" -depth -type d -exec rmdir {} +
    done
    return 0
}
trap stop EXIT

# This machine runs no systemd of its own: nspawn gets a private /run/systemd, a control
# group of its own in each hierarchy, and enters none of the host's machine registry.
mkdir -p /run/systemd "$work/upper" "$work/scratch" "$work/root"
mount -t tmpfs tmpfs /run/systemd
mount -t overlay overlay -o "lowerdir=$CACHE,upperdir=$work/upper,workdir=$work/scratch" "$work/root"
for group in "${cgroups[@]}"; do mkdir "$group" && echo $$ >"$group/cgroup.procs"; done
cp "$work"/arkvane_*.deb "$work/root/root/current.deb"
cp "$work/next.deb" "$work/root/root/next.deb"
mkdir "$work/root/root/src" && cp -r "$ARKVANE_SOURCE_DIR/debian" "$work/root/root/src/"
cp "$work"/arkvane-bench-{client,workload} "$work/root/usr/local/bin/"
# Homes on a tmpfs: a file system the kernel engine reads (not the overlay);
# bpf() let through the container's own system-call filter, as on a machine.
systemd-nspawn -q -b -D "$work/root" -M arkvane-system --register=no --keep-unit --tmpfs=/home \
    --system-call-filter=bpf >"$work/console.log" 2>&1 &
nspawn=$!
for _ in $(seq 100); do
    leader=$(cat /proc/"$nspawn"/task/*/children 2>/dev/null | tr -d ' ') || true
    [ -n "$leader" ] && grep -Eq '^NSpid:.*\s1$' /proc/"$leader"/status 2>/dev/null && break
    sleep 0.1
done
inside() { nsenter -t "$leader" -a "$@"; }
call() { local user=$1; shift; inside runuser -u "$user" -- busctl --system call com.tavrin.arkvane "$@" 2>&1 || true; }
logfile() { local user=$1; shift; call "$user" /logfile com.tavrin.arkvane "$@"; }
check() {    # check NAME EXPECTED ACTUAL (as debian/tests/lib.sh's)
    if [ "$2" = "$3" ]; then passed=$((passed + 1)); echo "ok      $1"
    else failed=$((failed + 1)); printf 'FAILED  %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"; fi
}
main_pid() { inside systemctl show -P MainPID arkvane; }

echo "== boot"
for _ in $(seq 300); do inside test -S /run/systemd/private && break; sleep 0.2; done
timeout 120 nsenter -t "$leader" -a systemctl is-system-running --wait >/dev/null || true
check "container booted" running "$(inside systemctl is-system-running)"

echo "== autopkgtest (installs the package)"
# Each check of the tests counts here, and each test's verdict besides.
status=0
inside env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 autopkgtest --no-built-binaries \
    --summary-file=/root/summary /root/current.deb /root/src -- null >"$work/autopkgtest.log" 2>&1 || status=$?
grep -E '^(ok   |FAILED  |  expected: |  actual:   )' "$work/autopkgtest.log" || true
passed=$((passed + $(grep -c '^ok   ' "$work/autopkgtest.log" || true)))
failed=$((failed + $(grep -c '^FAILED  ' "$work/autopkgtest.log" || true)))
for test in $(sed -n 's/^Tests: *//p' "$ARKVANE_SOURCE_DIR/debian/tests/control" | tr -d ,); do
    check "autopkgtest $test" PASS "$(awk -v name="$test" '$1 == name { print $2 }' "$work/root/root/summary" 2>/dev/null)"
done
check "autopkgtest's exit status" 0 "$status"
if [ "$status" != 0 ]; then    # its whole log is kept
    cp "$work/autopkgtest.log" "${CACHE%/*}/autopkgtest.log"
    sed -n '/@@@ summary/,/^autopkgtest/p' "$work/autopkgtest.log" | sed '1d;$d'
    echo "(autopkgtest's log: ${CACHE%/*}/autopkgtest.log)"
fi
alice_list='ia(ss) 0 1 "/home/alice/.box/notes.txt" "notes.txt"'
inside bash -c 'source /root/src/debian/tests/lib.sh && setup_boxes'
check "alice lists her box after the tests" "$alice_list" "$(logfile alice get_allRunFileList s /home/alice/.box)"

echo "== a cheap call while alice lists 50,000 held descriptors"
inside systemd-run -q --uid=alice --unit=load-holders sh -c \
    'sleep infinity | arkvane-bench-workload /home/alice/.box/load /home/alice/load 1000 50 3'
for _ in $(seq 600); do inside journalctl -q -u load-holders -o cat | grep -q '^ready' && break; sleep 0.2; done
pid=$(main_pid) && busy() { inside awk '{ print $14 + $15 }' /proc/"$pid"/stat; }    # processor ticks
before=$(busy) && inside systemd-run -q --uid=alice --unit=load-lister arkvane-bench-client list-loop /home/alice/.box/load
for _ in $(seq 600); do [ $(($(busy) - before)) -ge 20 ] && break; sleep 0.1; done    # the listings run
figures=$(inside runuser -u bob -- arkvane-bench-client latency 4000 bob)
inside systemctl stop load-lister load-holders
# Alice's box lies on a tmpfs: no line of this run but the start-up one speaks of an engine.
journal=$(inside journalctl -q -o cat _SYSTEMD_INVOCATION_ID="$(inside systemctl show -P InvocationID arkvane)")
engine=$(grep -Ei 'kernel|open files are found' <<<"$journal" || true)
check "the kernel engine served (${engine//$'\n'/ | })" "startScanEngine[409] open files are found by the kernel scan engine" \
    "$(sed 's/ (loaded in [0-9]* ms)$//' <<<"$engine")"
echo "bob's get_certificationInterval under the shipped unit: $figures"
[[ $figures =~ \"p99_ms\":\ ([0-9.]+).*\"failed\":\ ([0-9]+) ]] || true
check "4,000 cheap calls: none failed, p99 within 50 ms" "0 yes" "${BASH_REMATCH[2]:-} $(awk -v ms="${BASH_REMATCH[1]:-1e9}" 'BEGIN { print ms <= 50 ? "yes" : "no (" ms " ms)" }')"

echo "== upgrade"
inside dpkg -i /root/next.deb >>"$work/install.log"
new_pid=$(main_pid)
check "upgrade restarted the daemon" yes "$([ "$new_pid" != 0 ] && [ "$new_pid" != "$pid" ] && echo yes)"
check "it runs the new binary" "$(inside stat -c %i /usr/libexec/arkvaned)" "$(inside stat -L -c %i /proc/"$new_pid"/exe)"
check "it still serves" "$alice_list" "$(logfile alice get_allRunFileList s /home/alice/.box)"

# The unit's exposure as the service manager rates it (0 safe, 10 unsafe).
exposure=$(inside systemd-analyze security --no-pager arkvane.service | sed -n 's/.*Overall exposure level for arkvane.service: \([0-9.]*\).*/\1/p')
check "the unit's exposure ($exposure) at most 3.9" yes "$(awk -v e="${exposure:-99}" 'BEGIN { print e <= 3.9 ? "yes" : "no" }')"

echo "== purge"
inside dpkg --purge arkvane >>"$work/install.log"
check "purge stopped the daemon" "inactive 0" "$(inside systemctl is-active arkvane || true) $(main_pid)"
check "no process left" "" "$(inside sh -c 'cat /proc/[0-9]*/comm' 2>/dev/null | grep -x arkvaned || true)"
check "no file left" "" "$(inside sh -c 'ls -d /usr/libexec/arkvaned /lib/systemd/system/arkvane.service /usr/share/dbus-1/*/com.tavrin.arkvane* /var/lib/dpkg/info/arkvane.* 2>/dev/null' || true)"
check "the bus forgot the name" "Call failed: The name com.tavrin.arkvane was not provided by any .service files" "$(logfile root get_allRunFileList s /root/.box)"

[ "$failed" = 0 ] || { echo "== journalctl -u arkvane, last lines"; inside journalctl -q -u arkvane -o cat | tail -15; }
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
