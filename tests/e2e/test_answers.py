# SPDX-License-Identifier: GPL-2.0-or-later
"""Every answer true: no work after the answer, 0 only when no holder is left,
the box path as the caller's file system resolves it, and no user's files
deny the others' calls."""

from harness import *

ENGINE = "proc" if os.environ.get("ARKVANE_SCAN_ENGINE") == "proc" else "kernel"
PYTHON = "/usr/bin/python3"
ROUND_LINE = re.compile(r"^holders left after \d+ rounds of signals: ")

# Holds PATH; every 4 ms the newest generation forks a child that inherits
# the descriptor and exits 20 ms later: a kill must not answer 0 while one
# lives on.
CHAIN = """
import os, sys, time
fd = os.open(sys.argv[1], os.O_RDONLY)
print("ready", flush=True)
os.close(1)
while True:
    time.sleep(0.004)
    if os.fork():
        time.sleep(0.02)
        os._exit(0)
"""

# Holds a file DEPTH directories below DIR, reached one level at a time:
# its path is longer than the kernel prints.
DEEP = """
import os, sys
at = os.open(sys.argv[1], os.O_RDONLY | os.O_DIRECTORY)
for _ in range(int(sys.argv[2])):
    os.mkdir("d", dir_fd=at)
    at, up = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=at), at
    os.close(up)
fd = os.open("f", os.O_RDONLY | os.O_CREAT, 0o600, dir_fd=at)
os.close(at)
print("ready", flush=True)
sys.stdin.read()
"""

# Holds its own file through a bind mount that it then detaches, in a user and
# mount namespace of its own: the kernel's text for it reads /home/bob/.box/f.
DETACHED = """
set -e
mkdir -p "$1/home/bob/.box" "$2"
: > "$1/home/bob/.box/f"
mount --bind "$1" "$2"
exec 3< "$2/home/bob/.box/f"
umount -l "$2"
echo ready
exec cat
"""


def holders_of(path):
    """The pids whose descriptors name path, read from /proc."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
            if any(os.readlink(f"/proc/{pid}/fd/{fd}") == path for fd in fds):
                found.append(int(pid))
        except OSError:
            pass
    return found


class AnswersTest(DaemonTestCase):
    def test_a_forking_holder_never_outlives_a_kill_that_answers_0(self):
        held = make_tree(box_of("alice"), ["f"], user="alice")[0]
        for trial in range(12):
            user, call_it = (("alice", lambda: self.kill(box_of("alice"), user="alice")),
                             ("root", lambda: self.kill(box_of("alice"))),
                             ("root", lambda: self.wipe("alice")))[trial % 3]
            with self.subTest(trial=trial):
                if not os.path.exists(held):
                    held = make_tree(box_of("alice"), ["f"], user="alice")[0]
                chain = Holder([], user="alice", argv=[PYTHON, "-c", CHAIN, held])
                while len(holders_of(held)) < 2:  # it is handing the file down
                    time.sleep(0.001)
                mark = self.daemon.mark()
                result = call_it()
                left = holders_of(held)
                for pid in left:
                    os.kill(pid, signal.SIGKILL)
                chain.proc.wait(30)
                # 0 only when none is left; -1 names the survivors.
                self.assertEqual((result, left), (0, []) if result == 0 else (-1, left))
                if result != 0:
                    self.assertTrue(any(ROUND_LINE.match(l) for l in self.daemon.lines_since(mark)))

    def test_a_linked_home_is_judged_where_it_leads(self):
        real = os.path.join(SCRATCH, "gina-home")
        make_tree(real, [".box/d/f"])
        subprocess.run(["chown", "-R", "2010:2010", real], check=True)
        os.symlink(real, "/home/gina")
        saved = open("/etc/passwd").read()
        with open("/etc/passwd", "a") as f:
            f.write("gina:x:2010:2010::/home/gina:/bin/sh\n")
        self.addCleanup(lambda: (open("/etc/passwd", "w").write(saved), os.unlink("/home/gina")))
        holder = self.hold([f"{real}/.box/d/f"], user=2010)
        # The full path is the file's own, as the process table shows it.
        self.assertEqual(self.files("/home/gina/.box", user=2010),
                         (0, [(os.path.realpath(real) + "/.box/d/f", "d/f")]))
        self.assertEqual(self.kill("/home/gina/.box", user=2010), 0)
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)

    def test_files_no_path_can_place_deny_no_other_box(self):
        held = make_tree(box_of("bob"), ["kept"], user="bob")
        bob = self.hold(held, user="bob")
        deep_in_home = Holder([], user="alice", argv=[PYTHON, "-c", DEEP, "/home/alice", "8300"])
        deep_elsewhere = Holder([], argv=[PYTHON, "-c", DEEP, SCRATCH, "8300"])
        detached = Holder([], user="alice", argv=["unshare", "-Urm", "sh", "-c", DETACHED, "-",
                                                 "/home/alice/x", "/home/alice/y"])
        self.holders += [deep_in_home, deep_elsewhere, detached]
        self.assertEqual(self.files(box_of("bob"), user="bob"), (0, [(held[0], "kept")]))
        self.assertEqual(self.files(box_of("bob")), (0, [(held[0], "kept")]))
        # Nor a kill or a wipe, with either engine: the /proc walk places them by their identity.
        self.assertEqual((self.kill(box_of("bob")), bob.signal_of_death(), self.wipe("bob")), (0, signal.SIGKILL, 0))
        self.assertFalse(os.path.lexists(box_of("bob")))
        self.assertTrue(deep_in_home.alive() and deep_elsewhere.alive() and detached.alive())


class LateTest(DaemonTestCase):
    """A deadline shorter than the /proc walk's scan of 200,000 descriptors."""
    @classmethod
    def setUpClass(cls):
        saved = dict(os.environ)
        os.environ.update(ARKVANE_TEST_CALL_DEADLINE_MS="40", ARKVANE_SCAN_ENGINE="proc")
        try:
            super().setUpClass()
        finally:
            os.environ.clear()
            os.environ.update(saved)

    def test_nothing_is_done_for_a_call_after_its_answer(self):
        for _ in range(10):
            self.holders.append(Holder([], argv=[PYTHON, "-c", "import os, resource, sys\n"
                                                 "resource.setrlimit(resource.RLIMIT_NOFILE, (19900, 19900))\n"
                                                 "fds = [os.open('/etc/passwd', os.O_RDONLY) for _ in range(19800)]\n"
                                                 "print('ready', flush=True)\nsys.stdin.read()\n"]))
        box = box_of("alice")
        files = make_tree(box, ["a/f", "b/g", "h"], user="alice")
        holder = self.hold(files[:1], user="alice")
        for what, call_it, function in (("kill", lambda: self.kill(box), "kill_allProcessSignal"),
                                        ("wipe", lambda: self.wipe("alice"), "format_boxRootEntries")):
            with self.subTest(what):
                mark = self.daemon.mark()
                self.assertEqual(call_it(), -1)
                ended = f"{function} work ended after its answer, having made 0 signals, 0 unmounts, 0 removals"
                self.assertIn(ended, self.daemon._wait(lambda: ended in self.daemon.lines[mark:], 60))
                self.assertTrue(holder.alive())
                self.assertTrue(all(os.path.exists(f) for f in files))
