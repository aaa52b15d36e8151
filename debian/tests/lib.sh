# shellcheck shell=bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by the package's tests (and tests/system/run.sh): the check helper,
# calls on the system bus as a user, and the boxes of alice and bob.
set -euo pipefail
passed=0 failed=0
check() {    # check NAME EXPECTED ACTUAL
    if [ "$2" = "$3" ]; then passed=$((passed + 1)); echo "ok      $1"
    else failed=$((failed + 1)); printf 'FAILED  %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"; fi
}
finish() {
    [ "$failed" = 0 ] || { echo "== journalctl -u arkvane, last lines"; journalctl -q -u arkvane -o cat | tail -15; }
    echo "$passed passed, $failed failed"
    [ "$failed" = 0 ]
}
call() { local user=$1; shift; runuser -u "$user" -- busctl --system call com.tavrin.arkvane "$@" 2>&1 || true; }
logfile() { local user=$1; shift; call "$user" /logfile com.tavrin.arkvane "$@"; }
main_pid() { systemctl show -P MainPID arkvane; }
# The daemon's journal lines since it last started.
daemon_journal() { journalctl -q -o cat _SYSTEMD_INVOCATION_ID="$(systemctl show -P InvocationID arkvane)"; }
# shellcheck disable=SC2034 # for the tests that source this
alice_list='ia(ss) 0 1 "/home/alice/.box/notes.txt" "notes.txt"'

# alice and bob, each with a box holding notes.txt, which alice's unit "holder"
# keeps open (returns once it does).
setup_boxes() {
    local user uid
    for user in alice:1001 bob:1002; do
        uid=${user#*:} user=${user%:*}
        id "$user" >/dev/null 2>&1 || useradd -m -u "$uid" "$user"
        mkdir -p "/home/$user/.box" && echo hi >"/home/$user/.box/notes.txt" && chown -R "$user:" "/home/$user/.box"
    done
    systemctl -q is-active holder ||
        systemd-run -q --uid=alice --unit=holder sh -c 'exec 3</home/alice/.box/notes.txt; exec sleep infinity'
    for _ in $(seq 100); do
        readlink /proc/"$(systemctl show -P MainPID holder)"/fd/* 2>/dev/null | grep -q notes.txt && return
        sleep 0.1
    done
}
