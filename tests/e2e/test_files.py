# SPDX-License-Identifier: GPL-2.0-or-later
"""Listing the files held open in a box and ending the processes that hold
them, over the bus, as root and as the test accounts."""

import contextlib

from harness import *

EMPTY_PATH = "Lsof函数参数为空"


class Listing(DaemonTestCase):
    def test_each_held_file_once_in_first_found_order(self):
        box = box_of("root")
        nested = "n" + box + "/b" + box + "/c"  # only the leading box is cut
        a, b, c, d, gone = make_tree(box, ["a.txt", "docs/b.txt", "docs/deep/c.txt", nested, "gone"])
        outside = make_tree("/root", [".box2/f", ".BOX/g"])
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
                self.assertEqual((self.files(path), self.kill(path)), ((-1, []), -1))
                self.assertEqual(self.daemon.lines_since(mark, 4), [
                    EMPTY_PATH, EMPTY_PATH, "get_allOpenFilePidByPath error.", "get_allFileStatus error."])
        self.assertTrue(holder.alive())


class Killing(DaemonTestCase):
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
        self.assertEqual((self.kill(f"/proc/{self.daemon.pid}"), self.kill("/proc")), (0, 0))
        self.assertTrue(self.daemon.alive())


class Scope(DaemonTestCase):
    def test_account_lists_in_its_box_and_ends_only_its_own_processes(self):
        # A process of another user holding a file in alice's box (the bus
        # daemon keeping a descriptor she sent, say) is not hers to end.
        box = box_of("alice")
        f, g = make_tree(box, ["f", "sub/g"], user="alice")
        hers, roots = self.hold([f, g], user="alice"), self.hold([f])
        outside = [self.hold(make_tree("/home/alice", [name], user="alice"), user="alice")
                   for name in ("notes", ".box2/f")]
        self.assertEqual(self.files(box, user="alice"), (0, [(f, "f"), (g, "sub/g")]))
        self.assertEqual(self.files(box + "/sub", user="alice"), (0, [(g, "g")]))
        self.assertEqual(self.kill(box, user="alice"), 0)
        self.assertEqual(hers.signal_of_death(), signal.SIGKILL)
        self.assertTrue(all(h.alive() for h in outside + [roots]))
        self.assertEqual(self.kill(box), 0)
        self.assertEqual(roots.signal_of_death(), signal.SIGKILL)

    def test_account_is_refused_outside_its_box(self):
        os.symlink("/home/bob", os.path.join(box_of("alice"), "link"))
        os.lchown(os.path.join(box_of("alice"), "link"), 1001, 1001)
        kept = [self.hold(make_tree("/home/bob", ["outside"], user="bob"), user="bob"),
                self.hold(make_tree(box_of("bob"), ["secret"], user="bob"), user="bob"),
                self.hold(make_tree(box_of("root"), ["r"]))]
        # Resolved as alice's file system sees it: ".." and links climb out, or are not
        # followed at all where they would lead from her entries to another owner's.
        unsafe = {"/../../bob/.box": "/home", "/link": "/home/bob", "/link/.box": "/home/bob",
                  "/./../../bob": "/home", "/..": None}
        for path in (box_of("bob"), "/home", "/", "/home/alice", "/home/alice/.box2", box_of("root"),
                     "relative/path", "/home/bob/.box/a\\b", *(box_of("alice") + p for p in unsafe)):
            with self.subTest(path=path):
                self.syslog.mark()
                self.assertEqual((self.files(path, user="alice"), self.kill(path, user="alice")),
                                 ((-1, []), -1))
                shown = path.replace("\\", "\\x5c")  # escaped in the log
                at = unsafe.get(path[len(box_of("alice")):]) if path.startswith(box_of("alice")) else None
                tail = (f"[66] refused: caller uid 1001 for path {shown}, unsafe transition at {at} "
                        "(neither root's nor the same owner's as the way there)" if at else
                        f"[{{}}] refused: caller uid 1001 for path {shown} outside its box")
                self.assertEqual(self.syslog.lines(), ["get_allRunFileList" + tail.format(55),
                                                       "kill_allProcessSignal" + tail.format(64)])
        self.assertTrue(all(h.alive() for h in kept))

    def test_no_users_link_steers_roots_calls(self):
        # alice points her box at bob's, at root's files, at every home: root's calls through
        # it touch nothing. A link of hers to a directory of her own, or root's link to a
        # home, still serves.
        shared = make_tree(SCRATCH, ["srv/db"])[0]
        own = make_tree("/home/alice", ["real/f"], user="alice")[0]
        kept = [self.hold(make_tree(box_of("bob"), ["f"], user="bob"), user="bob"), self.hold([shared])]
        os.rmdir(box_of("alice"))
        for target, refused_at in ((box_of("bob"), "/home/bob"), (os.path.dirname(shared), os.path.dirname(shared)),
                                   ("/home", "/home"), ("/home/alice/real", None)):
            with self.subTest(target=target):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(box_of("alice"))
                os.symlink(target, box_of("alice"))
                os.lchown(box_of("alice"), *USERS["alice"])
                self.syslog.mark()
                if refused_at is None:
                    mine = self.hold([own], user="alice")
                    self.assertEqual(self.files(box_of("alice")), (0, [(own, "f")]))
                    self.assertEqual((self.kill(box_of("alice")), mine.signal_of_death()), (0, signal.SIGKILL))
                    continue
                self.assertEqual((self.files(box_of("alice")), self.kill(box_of("alice"))), ((-1, []), -1))
                tail = (f"[66] refused: caller uid 0 for path {box_of('alice')}, unsafe transition at "
                        f"{refused_at} (neither root's nor the same owner's as the way there)")
                self.assertEqual(self.syslog.lines(), ["get_allRunFileList" + tail, "kill_allProcessSignal" + tail])
                self.assertTrue(all(h.alive() for h in kept))

    def test_caller_without_an_account_is_refused(self):
        restore = add_accounts(self, "ghost:x:4242:4242::/home/ghost:/bin/sh")
        box = "/home/ghost/.box"
        holder = self.hold(make_tree(box, ["f"]))
        # The bus admits only accounts it knows, so the account goes away after
        # the call is on its way and before the daemon looks at it.
        os.kill(self.daemon.pid, signal.SIGSTOP)
        try:
            caller = subprocess.Popen(as_user(4242, [TESTCLIENT, "--announce", "kill", box]),
                                      stdout=subprocess.PIPE, text=True)
            self.assertIn('"sent":true', caller.stdout.readline())
            restore()
        finally:
            os.kill(self.daemon.pid, signal.SIGCONT)
        self.assertIn('"result":-1', caller.communicate(timeout=60)[0])
        self.assertTrue(holder.alive())
        lines = self.syslog.lines()
        self.assertEqual(len(lines), 1, lines)
        self.assertIn("4242", lines[0])
