#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs what is missing, builds, and runs arkvaned on the system bus in the
# foreground until Ctrl-C. Without a running system bus it starts one (the
# distribution's configuration plus the shipped policy, at the standard path)
# and stops it again at the end; with one, it installs the policy and has the
# bus reload it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
arkvane_require_root
arkvane_install_missing "${ARKVANE_PACKAGES[@]}"
build="$ARKVANE_SOURCE_DIR/build"
arkvane_build "$build" arkvaned

socket=/run/dbus/system_bus_socket
bus_pid=
workdir=$(mktemp -d /tmp/arkvane-run.XXXXXX)
cleanup() {
    set +e
    trap - EXIT INT TERM
    [ -n "${daemon_pid:-}" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null
    if [ -n "$bus_pid" ]; then
        kill "$bus_pid" 2>/dev/null
        wait "$bus_pid" 2>/dev/null
        rm -f "$socket"
    fi
    rm -rf "$workdir"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if busctl --system status >/dev/null 2>&1; then
    install -m 0644 "$ARKVANE_SOURCE_DIR/data/com.tavrin.arkvane.conf" /etc/dbus-1/system.d/
    busctl --system call org.freedesktop.DBus / org.freedesktop.DBus ReloadConfig
    echo "Installed the bus policy in /etc/dbus-1/system.d and reloaded the running system bus."
else
    mkdir -p /run/dbus
    cat > "$workdir/system-bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <include>/usr/share/dbus-1/system.conf</include>
  <include>$ARKVANE_SOURCE_DIR/data/com.tavrin.arkvane.conf</include>
</busconfig>
CONF
    mkfifo "$workdir/ready"
    dbus-daemon --config-file="$workdir/system-bus.conf" --nofork --nopidfile \
        --print-address=3 3>"$workdir/ready" 2>"$workdir/bus.log" &
    bus_pid=$!
    # The address is printed once the socket listens; end of file means it failed.
    if ! read -r _ <"$workdir/ready"; then
        cat "$workdir/bus.log" >&2
        exit 1
    fi
    echo "Started a system bus at $socket (it stops with the daemon)."
fi

cat <<TEXT

arkvaned runs in the foreground; Ctrl-C stops it. From another shell, try:
  busctl --system introspect com.tavrin.arkvane /logfile
  busctl --system call com.tavrin.arkvane /logfile com.tavrin.arkvane get_allRunFileList s "\$HOME/.box"
  busctl --system call com.tavrin.arkvane /logfile com.tavrin.arkvane is_certificationRequired s "\$USER"

TEXT
"$build/src/daemon/arkvaned" &
daemon_pid=$!
wait "$daemon_pid"
