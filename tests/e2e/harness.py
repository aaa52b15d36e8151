# SPDX-License-Identifier: GPL-2.0-or-later
"""What the end-to-end tests share: the daemon, bus calls as any test account,
processes holding files, the captured system log. Only inside arkvane-sandbox."""

import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import threading
import time
import unittest

if os.environ.get("ARKVANE_SANDBOX") != "1":
    raise SystemExit("run the end-to-end tests through tests/sandbox/arkvane-sandbox")

SERVICE = LOGFILE_IFACE = "com.tavrin.arkvane"
BACKUP_IFACE = "com.tavrin.arkvane.backup"
ACTIVITY_IFACE = "com.tavrin.arkvane.activity"
SCRATCH = os.environ["ARKVANE_SANDBOX_TMP"]
SYSLOG = os.environ["ARKVANE_SYSLOG"]
DAEMON = os.environ["ARKVANE_DAEMON"]
USERS = {"root": (0, 0), "alice": (1001, 1101), "bob": (1002, 1102)}


def public_copy(variable):  # the build tree may be closed to the accounts
    target = os.path.join(SCRATCH, "bin", os.path.basename(os.environ[variable]))
    if not os.path.exists(target):
        os.makedirs(os.path.dirname(target), 0o755, exist_ok=True)
        shutil.copy2(os.environ[variable], target)
    return target


TESTCLIENT = public_copy("ARKVANE_TESTCLIENT")
HOLDER = public_copy("ARKVANE_HOLDER")


def as_user(user, argv):
    if user == "root":
        return list(argv)
    if isinstance(user, int):  # an account a test made, or none (4242)
        return ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"] + list(argv)
    uid, gid = USERS[user]
    return ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--init-groups", "--"] + list(argv)


def box_of(user):
    return "/root/.box" if user == "root" else f"/home/{user}/.box"


def run(argv, user="root", **kwargs):
    return subprocess.run(as_user(user, argv), capture_output=True, text=True, timeout=120, **kwargs)


def busctl(*args, user="root"):
    return run(["busctl", "--system", "--no-pager"] + list(args), user=user)


def call(path, iface, method, signature=None, *args, user="root", typed=False):
    """(reply data, None), or (None, error text); typed: (signature, data)."""
    argv = ["--json=short", "call", "--", SERVICE, path, iface, method]  # "--": -1 is no option
    done = busctl(*argv, *([signature] + [str(a) for a in args] if signature else []), user=user)
    if done.returncode != 0:
        return None, done.stderr.strip()
    reply = json.loads(done.stdout) if done.stdout.strip() else {"type": "", "data": []}
    return (reply["type"] if typed else reply["data"]), None


def logfile(*args, user="root"):
    return call("/logfile", LOGFILE_IFACE, *args, user=user)


def client(*args, user="root", program=TESTCLIENT):
    done = run([program] + list(args), user=user)
    try:
        return json.loads(done.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        raise AssertionError(f"client gave no reply: {done.stdout!r} {done.stderr!r}")


def backup_tool(*args, program="/usr/bin/quellard"):
    return client(*args, program=program)


ENGINE_LINE = "open files are found by the "
SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
# Every daemon runs under the shipped unit's hardening, read from the unit itself.
UNDER_UNIT = [str(SOURCE_DIR / "tests/support/under-unit"), str(SOURCE_DIR / "data/arkvane.service.in")]
# LeakSanitizer stops the threads with ptrace() at exit; the plain build keeps it refused.
SANITIZER_ADDS = ["--add", "SystemCallFilter=ptrace"] * (os.environ.get("ARKVANE_SANITIZED") == "1")


class Daemon:
    def __init__(self, *argv, confined=True):  # the daemon's command line: its binary, or a wrapper and it
        self.argv, self.lines, self._changed = list(argv) or [DAEMON], [], threading.Condition()
        self.confined = confined  # under the unit's hardening, which a user's daemon cannot take on

    def start(self, wait=True):
        syslog = Syslog()
        at = self.argv.index(DAEMON) if DAEMON in self.argv else 0  # after a wrapper that narrows more
        unit = UNDER_UNIT + SANITIZER_ADDS + ["--"] if self.confined else []
        self.proc = subprocess.Popen(self.argv[:at] + unit + self.argv[at:],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.pid = self.proc.pid
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()
        if wait and "gogogo" not in self._wait(lambda: "gogogo" in self.lines, 30):
            raise AssertionError(f"daemon did not start: {self.lines}")
        # The scan engine's line, logged once it is chosen, precedes every test's.
        while wait and self.alive() and not any(ENGINE_LINE in line for line in syslog.lines()):
            pass
        return self

    def _collect(self):
        for line in self.proc.stderr:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def mark(self):
        return len(self.lines)

    def _wait(self, done, timeout):
        with self._changed:
            self._changed.wait_for(lambda: done() or not self._reader.is_alive(), timeout)
            return list(self.lines)

    def lines_since(self, mark, count=0, timeout=10):
        """Once count have come: a line written before a reply may be in the pipe."""
        return self._wait(lambda: len(self.lines) - mark >= count, timeout)[mark:]

    def wait_exit(self, timeout=30):
        code = self.proc.wait(timeout)
        self._reader.join(timeout)
        return code

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        self.proc.kill()
        self.wait_exit()


class Holder:
    """Holds paths open as user until stopped; argv replaces the holder's command."""
    def __init__(self, paths, user="root", create=False, unlink=False, argv=None):
        argv = argv or [HOLDER] + ["-c"] * create + ["-u"] * unlink + list(paths)
        self.proc = subprocess.Popen(as_user(user, argv), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.pid = self.proc.pid
        with self.proc.stdout:
            if self.proc.stdout.readline().strip() != "ready":
                self.stop()
                raise AssertionError(f"holder did not start: {argv}")

    def signal_of_death(self):
        code = self.proc.wait(30)
        return -code if code < 0 else None

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(30)


class Syslog:
    """The sandbox's log capture. A marker sent after a reply queues behind
    every line the daemon wrote before replying."""

    count = 0

    def __init__(self):
        self.offset = os.path.getsize(SYSLOG)
        self.mark()

    def mark(self):
        """From here on: the lines still on their way are taken in first."""
        self.offset += len(self._flushed())

    def _flushed(self):
        """The capture from the offset up to and with a marker sent now."""
        Syslog.count += 1
        marker = f"arkvane-test-marker-{os.getpid()}-{Syslog.count}\n".encode()
        subprocess.run(["logger", "--socket-errors=on", "-u", "/dev/log", marker.strip()], check=True)
        deadline = time.monotonic() + 30
        while True:
            with open(SYSLOG, "rb") as f:
                f.seek(self.offset)
                raw = f.read()
            if marker in raw:
                return raw[:raw.index(marker) + len(marker)]
            assert time.monotonic() < deadline, "system-log capture did not catch up"
            time.sleep(0.01)

    def lines(self):
        raw = self._flushed().decode("utf-8", errors="replace")
        # "<PRI>Mmm dd hh:mm:ss TAG[PID]: MESSAGE"
        return [m for h, s, m in (l.partition(": ") for l in raw.splitlines())
                if s and h.split(" ")[-1].split("[")[0] == "arkvaned"]


def site(pattern):
    """A log line of the backup service, with any site number."""
    return re.compile("^" + pattern.replace("[N]", r"\[\d+\]") + "$")


def fresh_box(user):
    box = box_of(user)
    if os.path.isdir(box) and not os.path.islink(box):
        subprocess.run(["umount", "-R", "-q", box])
        subprocess.run(["rm", "-rf", "--one-file-system", box], check=True)  # any depth
    elif os.path.lexists(box):
        os.unlink(box)
    os.mkdir(box, 0o700)
    os.chown(box, *USERS[user])


class DaemonTestCase(unittest.TestCase):
    """One daemon per class; fresh boxes in every test."""
    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon().start()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()

    def setUp(self):
        self.assertTrue(self.daemon.alive(), "the daemon died before this test")
        for user in USERS:
            fresh_box(user)
        self.syslog = Syslog()
        self.holders = []

    def tearDown(self):
        for holder in self.holders:
            holder.stop()
        self.assertTrue(self.daemon.alive(), "the daemon died during this test")

    def hold(self, paths, user="root", **kwargs):
        self.holders.append(Holder(paths, user=user, **kwargs))
        return self.holders[-1]

    def assertLines(self, lines, patterns):
        self.assertEqual(len(lines), len(patterns), lines)
        for got, pattern in zip(lines, patterns):
            (self.assertEqual if isinstance(pattern, str) else self.assertRegex)(got, pattern)

    def files(self, path, user="root"):
        reply = client("files", path, user=user)
        self.assertEqual(reply["signature"], "ia(ss)")
        return reply["result"], [(i["file"], i["relative"]) for i in reply["list"]]

    def kill(self, path, user="root", hold=()):
        return client(*sum((["--hold", p] for p in hold), []), "kill", path, user=user)["result"]

    def wipe(self, user, hold=()):
        return backup_tool(*sum((["--hold", p] for p in hold), []), "backup-format", user)["result"]


def make_tree(root, files, user="root"):
    """Empty files ("name/": directories) and their missing parents below root, owned by user."""
    made = []
    for name in files:
        path = os.path.join(root, name)
        missing, parent = [], os.path.dirname(path)
        while not os.path.isdir(parent):
            missing.append(parent)
            parent = os.path.dirname(parent)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if not name.endswith("/"):
            open(path, "w").close()
            os.lchown(path, *USERS[user])
        for directory in missing:
            os.lchown(directory, *USERS[user])
        made.append(path.rstrip("/"))
    return made


def add_accounts(test, *lines):
    """Password-database lines until test ends, or until the returned function is called."""
    passwd = pathlib.Path("/etc/passwd")  # written in place: it is bind-mounted
    saved = passwd.read_text()
    passwd.write_text(saved + "".join(line + "\n" for line in lines))
    test.addCleanup(passwd.write_text, saved)
    return lambda: passwd.write_text(saved)


def long_name(length):
    """A relative path of length bytes, in names of 200 bytes or fewer."""
    names = []
    while length > 250:
        names, length = names + ["n" * 200], length - 201
    return "/".join(names + ["f" * length])


def hand_to_pid1(*fds):
    """The sandbox's init keeps these descriptors (none: closes those it kept)."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM) as sock:
        sock.bind("")
        sock.connect("/run/arkvane-sandbox-init")
        socket.send_fds(sock, [b"d"], list(fds))
        sock.recv(1)


def snapshot(root):
    """Everything below root, links unfollowed: what a wipe elsewhere must leave."""
    return sorted((d, sorted(ds), sorted(fs)) for d, ds, fs in os.walk(root))
