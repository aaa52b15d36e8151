"""Listing the files held open in a box and ending the processes that hold
them, over the bus, as root and as the test accounts."""

import os
import shutil
import signal
import subprocess
import unittest

from harness import DaemonTestCase, TESTCLIENT, box_of, client, empty_boxes, make_tree

EMPTY_PATH = "Lsof函数参数为空"


class BoxCase(DaemonTestCase):
    """Gives each test fresh boxes for root, alice and bob."""

    def setUp(self):
        super().setUp()
        empty_boxes()

    def files(self, path, user="root"):
        reply = client("files", path, user=user)
        self.assertEqual(reply["signature"], "ia(ss)")
        return reply["result"], [(i["file"], i["relative"]) for i in reply["list"]]

    def kill(self, path, user="root", hold=()):
        args = []
        for p in hold:
            args += ["--hold", p]
        reply = client(*args, "kill", path, user=user)
        return reply["result"]


class Listing(BoxCase):
    def test_each_held_file_once_in_first_found_order(self):
        box = box_of("root")
        nested = "n" + box + "/b" + box + "/c"  # only the leading box is cut
        a, b, c, d, gone = make_tree(box, ["a.txt", "docs/b.txt", "docs/deep/c.txt", nested, "gone"])
        outside = make_tree("/root", [".box2/f", ".BOX/g"])
        for name in (".box2", ".BOX"):
            self.addCleanup(shutil.rmtree, os.path.join("/root", name))
        self.hold([box, a, b, os.path.join(box, "docs")] + outside)
        self.hold([b, c, a, d])
        self.hold([gone], unlink=True)
        expected = [(a, "a.txt"), (b, "docs/b.txt"), (os.path.join(box, "docs"), "docs"),
                    (c, "docs/deep/c.txt"), (d, nested)]
        for path in (box, box + "/", box + "///"):
            with self.subTest(path=path):
                self.assertEqual(self.files(path), (0, expected))

    def test_empty_and_slash_only_paths_are_refused(self):
        holder = self.hold(make_tree(box_of("root"), ["f"]))
        for path in ("", "/", "//"):
            with self.subTest(path=path):
                mark = self.daemon.mark()
                self.assertEqual(self.files(path), (-1, []))
                self.assertEqual(self.kill(path), -1)
                self.assertEqual(self.daemon.lines_since(mark, 4), [
                    EMPTY_PATH, EMPTY_PATH, "get_allOpenFilePidByPath error.", "get_allFileStatus error."])
        self.assertTrue(holder.alive())


class Killing(BoxCase):
    def test_holders_die_the_caller_and_the_box_holder_survive(self):
        box = box_of("root")
        a, b, c, gone = make_tree(box, ["a", "sub/b", "c", "gone"])
        # Many descriptors: the descriptor directory takes more than one read.
        many = self.hold([a] + make_tree(box, [f"d{i % 7}/f{i}" for i in range(300)]))
        second = self.hold([b, c])
        deleted = self.hold([gone], unlink=True)
        box_only = self.hold([box])
        self.assertEqual(self.kill(box + "/", hold=[c]), 0)  # the caller holds c too
        for holder in (many, second, deleted):
            self.assertEqual(holder.signal_of_death(), signal.SIGKILL)
        self.assertTrue(box_only.alive())

    def test_daemon_never_signals_itself(self):
        # While it scans itself, the daemon holds /proc/<its pid>/fd open.
        self.assertEqual(self.kill(f"/proc/{self.daemon.pid}"), 0)
        self.assertEqual(self.kill("/proc"), 0)
        self.assertTrue(self.daemon.alive())


class Scope(BoxCase):
    def test_account_lists_and_kills_inside_its_own_box(self):
        box = box_of("alice")
        f, g = make_tree(box, ["f", "sub/g"], user="alice")
        holder = self.hold([f, g], user="alice")
        outside = [self.hold(make_tree("/home/alice", [name], user="alice"), user="alice")
                   for name in ("notes", ".box2/f")]
        self.assertEqual(self.files(box, user="alice"), (0, [(f, "f"), (g, "sub/g")]))
        self.assertEqual(self.files(box + "/sub", user="alice"), (0, [(g, "g")]))
        self.assertEqual(self.kill(box, user="alice"), 0)
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)
        self.assertTrue(all(h.alive() for h in outside))

    def test_existence_is_tested_with_the_callers_permissions(self):
        # A link target can be redirected between the read of a descriptor and
        # the test, so an account must learn nothing it could not look at.
        box = box_of("alice")
        (mine,) = make_tree(box, ["mine"], user="alice")
        (hidden,) = make_tree(box, ["closed/f"])
        os.chmod(os.path.join(box, "closed"), 0o700)
        self.hold([mine, hidden])
        self.assertEqual(self.files(box, user="alice"), (0, [(mine, "mine")]))
        self.assertEqual(self.files(box), (0, [(mine, "mine"), (hidden, "closed/f")]))

    def test_account_ends_only_its_own_processes(self):
        # A process of another user holding a file in alice's box (the bus
        # daemon keeping a descriptor she sent, say) is not hers to end.
        f, g = make_tree(box_of("alice"), ["f", "g"], user="alice")
        hers = self.hold([f], user="alice")
        roots = self.hold([f, g])
        self.assertEqual(self.kill(box_of("alice"), user="alice"), 0)
        self.assertEqual(hers.signal_of_death(), signal.SIGKILL)
        self.assertTrue(roots.alive())
        self.assertEqual(self.kill(box_of("alice")), 0)
        self.assertEqual(roots.signal_of_death(), signal.SIGKILL)

    def test_account_is_refused_outside_its_box(self):
        bob_holder = self.hold(make_tree(box_of("bob"), ["secret"], user="bob"), user="bob")
        root_holder = self.hold(make_tree(box_of("root"), ["r"]))
        for path, logged in ((box_of("bob"), None), ("/home", None), ("/", None),
                             ("/home/alice", None), ("/home/alice/.box2", None),
                             ("/home/alice/.boxes", None), (box_of("root"), None),
                             ("relative/path", None), ("/home/bob/.box/a\\b", "/home/bob/.box/a\\x5cb")):
            with self.subTest(path=path):
                self.syslog.mark()
                self.assertEqual(self.files(path, user="alice"), (-1, []))
                self.assertEqual(self.kill(path, user="alice"), -1)
                tail = f"refused: caller uid 1001 for path {logged or path} outside its box"
                self.assertEqual(self.syslog.lines(), ["get_allRunFileList[55] " + tail,
                                                       "kill_allProcessSignal[64] " + tail])
        self.assertTrue(bob_holder.alive())
        self.assertTrue(root_holder.alive())

    def test_climbing_out_reaches_nothing(self):
        box = box_of("alice")
        victims = [self.hold(make_tree(box_of("bob"), ["v"], user="bob"), user="bob"),
                   self.hold(make_tree("/home/bob", ["outside"], user="bob"), user="bob")]
        os.symlink("/home/bob", os.path.join(box, "link"))
        os.lchown(os.path.join(box, "link"), 1001, 1001)
        for path in (box + "/../../bob/.box", box + "/..", box + "/link", box + "/link/.box",
                     box + "/./../../bob"):
            with self.subTest(path=path):
                self.assertEqual(self.files(path, user="alice"), (0, []))
                self.assertEqual(self.kill(path, user="alice"), 0)
        for victim in victims:
            self.assertTrue(victim.alive())

    def test_caller_without_an_account_is_refused(self):
        with open("/etc/passwd") as f:
            saved = f.read()

        def restore():
            with open("/etc/passwd", "w") as f:  # in place: the file is bind-mounted
                f.write(saved)

        self.addCleanup(restore)
        with open("/etc/passwd", "a") as f:
            f.write("ghost:x:4242:4242::/home/ghost:/bin/sh\n")
        box = "/home/ghost/.box"
        holder = self.hold(make_tree(box, ["f"]))
        # The bus admits only accounts it knows, so the account goes away after
        # the call is on its way and before the daemon looks at it.
        os.kill(self.daemon.pid, signal.SIGSTOP)
        try:
            caller = subprocess.Popen(["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups",
                                       "--", TESTCLIENT, "--announce", "kill", box],
                                      stdout=subprocess.PIPE, text=True)
            self.assertIn('"sent":true', caller.stdout.readline())
            restore()
        finally:
            os.kill(self.daemon.pid, signal.SIGCONT)
        out, _ = caller.communicate(timeout=60)
        self.assertIn('"result":-1', out)
        self.assertTrue(holder.alive())
        lines = self.syslog.lines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("4242", lines[0])


if __name__ == "__main__":
    unittest.main()
