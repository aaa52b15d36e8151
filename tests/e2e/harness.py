"""What the end-to-end tests share: the daemon, bus clients run as any test
account, processes holding files, and the captured system log. Runs only
inside arkvane-sandbox (accounts, private system bus, log capture, namespaces)."""

import hashlib
import json
import os
import shutil
import subprocess
import threading
import time
import unittest

if os.environ.get("ARKVANE_SANDBOX") != "1":
    raise SystemExit("run the end-to-end tests through tests/sandbox/arkvane-sandbox")

SERVICE = "com.tavrin.arkvane"
LOGFILE_IFACE = "com.tavrin.arkvane"
BACKUP_IFACE = "com.tavrin.arkvane.backup"
SCRATCH = os.environ["ARKVANE_SANDBOX_TMP"]
SYSLOG = os.environ["ARKVANE_SYSLOG"]
DAEMON = os.environ["ARKVANE_DAEMON"]
USERS = {"root": (0, 0), "alice": (1001, 1101), "bob": (1002, 1102)}


def public_copy(variable):
    """A copy of a helper binary every test account may run (the build tree
    may sit in a directory only root can enter)."""
    bindir = os.path.join(SCRATCH, "bin")
    os.makedirs(bindir, exist_ok=True)
    os.chmod(bindir, 0o755)
    target = os.path.join(bindir, os.path.basename(os.environ[variable]))
    if not os.path.exists(target):
        shutil.copy2(os.environ[variable], target)
        os.chmod(target, 0o755)
    return target


TESTCLIENT = public_copy("ARKVANE_TESTCLIENT")
HOLDER = public_copy("ARKVANE_HOLDER")


def as_user(user, argv):
    if user == "root":
        return list(argv)
    uid, gid = USERS[user]
    return ["setpriv", f"--reuid={uid}", f"--regid={gid}", "--init-groups", "--"] + list(argv)


def box_of(user):
    return "/root/.box" if user == "root" else f"/home/{user}/.box"


def run(argv, user="root", timeout=120):
    return subprocess.run(as_user(user, argv), capture_output=True, text=True, timeout=timeout)


def busctl(*args, user="root"):
    return run(["busctl", "--system", "--no-pager"] + list(args), user=user)


def call(path, iface, method, signature=None, *args, user="root"):
    """A method call through busctl: (reply data, None) or (None, error text)."""
    argv = ["--json=short", "call", "--", SERVICE, path, iface, method]  # "--": -1 is no option
    if signature:
        argv += [signature] + [str(a) for a in args]
    done = busctl(*argv, user=user)
    if done.returncode != 0:
        return None, done.stderr.strip()
    return (json.loads(done.stdout)["data"] if done.stdout.strip() else []), None


def logfile(method, signature=None, *args, user="root"):
    return call("/logfile", LOGFILE_IFACE, method, signature, *args, user=user)


def client(*args, user="root", program=TESTCLIENT):
    """The project's own Qt client (or the backup tool copy of it)."""
    done = run([program] + list(args), user=user)
    try:
        return json.loads(done.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        raise AssertionError(f"client gave no reply: {done.stdout!r} {done.stderr!r}")


def backup_tool(*args, program="/usr/bin/quellard"):
    return client(*args, program=program)


ENGINE_LINE = "open files are found by the "


class Daemon:
    """arkvaned started by the test, its debug output collected line by line."""

    def __init__(self, binary=DAEMON):
        self.binary, self.proc, self.lines = binary, None, []
        self._changed = threading.Condition()

    def start(self, wait=True):
        syslog = Syslog()
        self.proc = subprocess.Popen([self.binary], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, text=True)
        self._reader = threading.Thread(target=self._collect, daemon=True)
        self._reader.start()
        if wait and "gogogo" not in self._wait(lambda: "gogogo" in self.lines, 30):
            raise AssertionError(f"daemon did not start: {self.lines}")
        if wait:  # the scan engine's line, logged once it is chosen, precedes every test's
            syslog.wait_for(ENGINE_LINE)
        return self

    def _collect(self):
        for line in self.proc.stderr:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def _wait(self, done, timeout):
        with self._changed:
            self._changed.wait_for(lambda: done() or not self._reader.is_alive(), timeout)
            return list(self.lines)

    def mark(self):
        return len(self.lines)

    def lines_since(self, mark, count=0, timeout=10):
        """The debug lines since mark, once there are count of them: a line
        written before a reply may still be in the pipe."""
        return self._wait(lambda: len(self.lines) - mark >= count, timeout)[mark:]

    def wait_exit(self, timeout=30):
        code = self.proc.wait(timeout)
        self._reader.join(timeout)
        return code

    @property
    def pid(self):
        return self.proc.pid

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc:
            self.proc.kill()
            self.wait_exit()


class Holder:
    """A process, run as a test account, that holds paths open until stopped;
    argv replaces the holder's command (a namespace around it, say)."""

    def __init__(self, paths, user="root", create=False, unlink=False, argv=None):
        argv = argv or [HOLDER] + ["-c"] * create + ["-u"] * unlink + list(paths)
        self.proc = subprocess.Popen(as_user(user, argv), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline()
        self.proc.stdout.close()
        if ready.strip() != "ready":
            self.stop()
            raise AssertionError(f"holder did not start: {argv}")

    @property
    def pid(self):
        return self.proc.pid

    def signal_of_death(self, timeout=30):
        code = self.proc.wait(timeout)
        return -code if code < 0 else None

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        self.proc.stdin.close()
        self.proc.wait(30)


class Syslog:
    """The sandbox's system-log capture. A marker sent after a reply queues
    behind every line the daemon wrote before replying: once the marker is
    in the file, so are they."""

    _count = 0

    def __init__(self):
        self.mark()

    def mark(self):
        self.offset = os.path.getsize(SYSLOG)

    def wait_for(self, text, timeout=30):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with open(SYSLOG, "rb") as f:
                f.seek(self.offset)
                if text.encode() in f.read():
                    return
            time.sleep(0.01)
        raise AssertionError(f"no {text!r} in the system log")

    def lines(self, tag="arkvaned"):
        """Messages logged by tag since the mark, without the syslog header."""
        Syslog._count += 1
        marker = f"arkvane-test-marker-{os.getpid()}-{Syslog._count}"
        subprocess.run(["logger", "--socket-errors=on", "-u", "/dev/log", marker], check=True)
        deadline = time.monotonic() + 30
        while True:
            with open(SYSLOG, "rb") as f:
                f.seek(self.offset)
                raw = f.read().decode("utf-8", errors="replace")
            if marker in raw:
                break
            if time.monotonic() > deadline:
                raise AssertionError("system-log capture did not catch up")
            time.sleep(0.01)
        messages = []
        for line in raw.splitlines():
            # "<PRI>Mmm dd hh:mm:ss TAG: MESSAGE" or "TAG[PID]: MESSAGE"
            head, sep, message = line.partition(": ")
            if sep and head.split(" ")[-1].split("[")[0] == tag and "arkvane-test-marker-" not in line:
                messages.append(message)
        return messages


class DaemonTestCase(unittest.TestCase):
    """Starts one daemon per test class."""

    @classmethod
    def setUpClass(cls):
        cls.daemon = Daemon().start()

    @classmethod
    def tearDownClass(cls):
        cls.daemon.stop()

    def setUp(self):
        self.assertTrue(self.daemon.alive(), "the daemon died before this test")
        self.syslog = Syslog()
        self.holders = []

    def tearDown(self):
        for holder in self.holders:
            holder.stop()
        self.assertTrue(self.daemon.alive(), "the daemon died during this test")

    def hold(self, paths, user="root", **kwargs):
        self.holders.append(Holder(paths, user=user, **kwargs))
        return self.holders[-1]


def empty_boxes():
    for user in USERS:
        for entry in os.scandir(box_of(user)):
            if entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path)
            else:
                os.unlink(entry.path)


def make_tree(root, files, user="root"):
    """Creates empty files (and their directories) below root, owned by user."""
    uid, gid = USERS[user]
    made = []
    for name in files:
        path = os.path.join(root, name)
        parent = os.path.dirname(path)
        while not os.path.isdir(parent):
            top = parent
            while not os.path.isdir(os.path.dirname(top)):
                top = os.path.dirname(top)
            os.mkdir(top)
            os.lchown(top, uid, gid)
        open(path, "w").close()
        os.lchown(path, uid, gid)
        made.append(path)
    return made


def tree_digest(root):
    """Names, kinds and contents of everything below root, links unfollowed."""
    digest = hashlib.sha256()
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(dirnames + filenames):
            path = os.path.join(dirpath, name)
            digest.update(path.encode() + b"\0")
            if os.path.islink(path):
                digest.update(b"L" + os.readlink(path).encode())
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    digest.update(b"F" + f.read())
    return digest.hexdigest()


def make_sentinel(name):
    root = os.path.join(SCRATCH, name)
    shutil.rmtree(root, ignore_errors=True)
    for i in range(5):
        os.makedirs(os.path.join(root, f"d{i}", "inner"))
        with open(os.path.join(root, f"d{i}", "inner", "keep"), "w") as f:
            f.write(f"sentinel {i}\n")
    return root
