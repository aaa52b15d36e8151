# SPDX-License-Identifier: GPL-2.0-or-later
"""Box watches through arkvanectl wait: the box is told free when its last
holder lets go, however it lets go, never while one holds on; a watch serves
its own caller alone, within its limits, and ends with it."""

import pty
import select

from harness import *

CTL = public_copy("ARKVANECTL")
# The kernel's hooks, or (with the /proc walk forced) the fallback.
MECHANISM = [["polling", 1700], None] if os.environ.get("ARKVANE_SCAN_ENGINE") == "proc" else [["bpf", 100], None]
# mode, file: holds the file (O_CLOEXEC) until a line comes, then lets go as
# mode says; "child" and "socket" hand it first to a child (its pid follows
# "ready") that holds on until it is killed.
LETTING_GO = r"""
import os, signal, socket, sys
mode, path = sys.argv[1:]
fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
a, b = socket.socketpair()
child = os.fork() if mode in ("child", "socket") else 0
if mode in ("child", "socket") and child == 0:
    if mode == "socket":
        os.close(fd)
        fd = socket.recv_fds(a, 1, 1)[1][0]
    signal.pause()
if mode == "socket":
    socket.send_fds(b, [b"x"], [fd])
print("ready", child, flush=True)
sys.stdin.readline()
if mode == "close":
    os.close(fd)
    sys.stdin.read()
elif mode == "exec":
    os.execv("/bin/cat", ["cat"])
"""


class Waiter:
    """arkvanectl wait as user on a terminal of its own, its live count read."""
    def __init__(self, box, user="alice", timeout=20):
        self.terminal, tty = pty.openpty()
        self.proc = subprocess.Popen(as_user(user, [CTL, "wait", "--timeout", str(timeout), box]),
                                     stdout=tty, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
        os.close(tty)
        self.shown = ""

    def until_shown(self, text, seconds=20):
        while not self.shown.rstrip().endswith(text):
            ready, _, _ = select.select([self.terminal], [], [], seconds)
            if not ready:
                raise AssertionError(f"{text!r} not shown: {self.shown!r}")
            self.shown += os.read(self.terminal, 4096).decode()

    def end(self):
        code = self.proc.wait(30)
        os.close(self.terminal)
        with self.proc.stderr:
            return code, self.proc.stderr.read()


class Watches(DaemonTestCase):
    def test_free_is_told_when_the_last_holder_lets_go(self):
        box = box_of("bob")  # alice's watches of the other test may not have ended yet
        (path,) = make_tree(box, ["f"], user="bob")
        held = f"held in {box}"
        for mode, holding in (("close", 1), ("kill", 1), ("exec", 1), ("child", 2), ("socket", 2)):
            with self.subTest(mode=mode):
                holder = subprocess.Popen(as_user("bob", ["python3", "-c", LETTING_GO, mode, path]),
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
                ready, child = holder.stdout.readline().split()
                self.assertEqual(ready, "ready")
                waiter = Waiter(box, user="bob")
                waiter.until_shown(f"{holding} process{'es' * (holding > 1)} {held}")
                if mode == "kill":
                    holder.kill()
                else:
                    holder.stdin.write("\n")
                    holder.stdin.flush()
                if holding > 1:  # the holder is gone, its child holds on: not free
                    waiter.until_shown(f"1 process {held}")
                    self.assertIsNone(waiter.proc.poll())
                    os.kill(int(child), signal.SIGKILL)
                self.assertEqual(waiter.end(), (0, ""))
                holder.kill()
                holder.wait()
                holder.stdin.close(), holder.stdout.close()

    def test_a_watch_serves_its_own_caller_within_its_limits(self):
        self.assertEqual(list(call("/activity", ACTIVITY_IFACE, "get_watchMechanism", user="alice")), MECHANISM)
        self.hold(make_tree(box_of("alice"), ["f"], user="alice"), user="alice")
        bob = run([CTL, "wait", box_of("alice")], user="bob")
        self.assertEqual((bob.returncode, bob.stdout), (1, ""))
        waiters = [Waiter(box_of("alice")) for _ in range(8)]
        for waiter in waiters:
            waiter.until_shown(f"1 process held in {box_of('alice')}")
        ninth = run([CTL, "wait", box_of("alice")], user="alice")
        self.assertEqual((ninth.returncode, ninth.stderr),
                         (1, f"arkvanectl: cannot watch {box_of('alice')}: Too many users\n"))
        waiters[0].proc.kill()  # its watch ends with its connection
        self.assertEqual(waiters[0].end()[0], -signal.SIGKILL)
        again = ninth
        while again.stderr == ninth.stderr:  # until the bus has told the daemon
            again = run([CTL, "wait", "--timeout", "0", box_of("alice")], user="alice")
        self.assertEqual((again.returncode, again.stderr), (4, f"arkvanectl: {box_of('alice')} still held after 0 s\n"))
        for waiter in waiters[1:]:
            waiter.proc.kill()
            waiter.end()
        self.assertEqual([line for line in self.syslog.lines() if line.startswith("add_boxWatch")], [
            "add_boxWatch[502] refused: caller uid 1002 for path /home/alice/.box outside its box",
            "add_boxWatch[503] refused: caller uid 1001 for path /home/alice/.box: Too many users"])
