"""The backup interface over the bus: the caller check, box root discovery and
wipes, with real accounts, mounts and processes."""

import os
import re
import shutil
import signal
import subprocess
import unittest

from harness import (BACKUP_IFACE, TESTCLIENT, USERS, DaemonTestCase, backup_tool, box_of, call,
                     logfile, make_sentinel, make_tree, run, tree_digest)

PASSWD = "/etc/passwd"


def line(pattern):
    """A system-log line of the backup service, with any site number."""
    return re.compile(pattern.replace("[N]", r"\[\d+\]"))


def assert_lines(case, lines, patterns):
    case.assertEqual(len(lines), len(patterns), lines)
    for got, pattern in zip(lines, patterns):
        if isinstance(pattern, str):
            case.assertEqual(got, pattern)
        else:
            case.assertRegex(got, pattern)


def fresh_box(user):
    box = box_of(user)
    if os.path.islink(box) or os.path.isfile(box):
        os.unlink(box)
    elif os.path.isdir(box):
        subprocess.run(["umount", "-R", "-q", box], check=False)
        # rm walks a tree of any depth without recursion.
        subprocess.run(["rm", "-rf", "--one-file-system", box], check=True)
    os.mkdir(box, 0o700)
    uid, gid = USERS[user]
    os.chown(box, uid, gid)
    return box


def is_mount_point(path):
    with open("/proc/self/mountinfo") as f:
        return any(l.split()[4] == path for l in f)


class BackupCase(DaemonTestCase):
    def setUp(self):
        super().setUp()
        for user in USERS:
            fresh_box(user)

    def wipe(self, user, hold=()):
        args = []
        for path in hold:
            args += ["--hold", path]
        return backup_tool(*args, "backup-format", user)["result"]


class CallerCheck(BackupCase):
    def test_only_the_admitted_programs_are_served(self):
        copy = "/usr/bin/quellard-extra"  # only begins with an admitted path
        shutil.copy2(TESTCLIENT, copy)
        self.addCleanup(os.unlink, copy)
        called = line(r"get_allBoxRootEntries[N] called")
        for program, listed, lines in (
                ("/usr/bin/quellard", True, [called]),
                ("/usr/bin/tavrin-quellard", True, [called]),
                (copy, False, [called, f"check_callerPrivilege[112] failed: program_path = {copy}"])):
            with self.subTest(program=program):
                self.syslog.mark()
                reply = backup_tool("backup-list", program=program)
                self.assertEqual(reply["signature"], "as")
                self.assertEqual("/root/.box" in reply["list"], listed)
                assert_lines(self, self.syslog.lines(), lines)

    def test_root_running_another_program_is_refused(self):
        self.assertEqual(call("/backup", BACKUP_IFACE, "get_allBoxRootEntries"), ([[]], None))
        self.assertEqual(call("/backup", BACKUP_IFACE, "format_boxRootEntries", "s", "alice"),
                         ([-1], None))
        self.assertEqual(call("/backup", BACKUP_IFACE, "format_allBoxRootEntries"), ([-1], None))
        refused = f"check_callerPrivilege[112] failed: program_path = {os.path.realpath(shutil.which('busctl'))}"
        assert_lines(self, self.syslog.lines(), [line(r"get_allBoxRootEntries[N] called"), refused,
                                                 line(r"format_boxRootEntries[N] called: strUserName = alice"),
                                                 refused, refused])
        self.assertTrue(os.path.isdir(box_of("alice")))

    def test_caller_that_left_the_bus(self):
        os.kill(self.daemon.pid, signal.SIGSTOP)
        try:
            done = run(["/usr/bin/quellard", "--no-reply", "backup-list"])
            self.assertEqual(done.returncode, 0, done.stderr)
        finally:
            os.kill(self.daemon.pid, signal.SIGCONT)
        # One more call: the daemon serves in order, so the first one is done.
        logfile("get_certificationInterval", "s", "x")
        assert_lines(self, self.syslog.lines(), [line(r"get_allBoxRootEntries[N] called"),
                                                 "check_callerPrivilege[103] failed: uid = 0"])


class Discovery(BackupCase):
    def setUp(self):
        super().setUp()
        with open(PASSWD) as f:
            self.saved = f.read()
        self.addCleanup(self.restore)

    def restore(self):
        with open(PASSWD, "w") as f:  # in place: the file is bind-mounted
            f.write(self.saved)

    def add_accounts(self, entries):
        with open(PASSWD, "a") as f:
            for name, uid, home in entries:
                f.write(f"{name}:x:{uid}:{uid}::{home}:/bin/sh\n")

    def test_database_order_duplicates_and_odd_homes(self):
        os.makedirs("/home/shared/.box", exist_ok=True)
        os.makedirs("/home/carol/.box", exist_ok=True)
        os.makedirs("/home/filebox", exist_ok=True)
        open("/home/filebox/.box", "w").close()
        os.makedirs("/home/broken", exist_ok=True)
        os.symlink("/home/nowhere", "/home/broken/.box")
        os.makedirs("/home/linked", exist_ok=True)
        os.symlink("/home/carol/.box", "/home/linked/.box")
        self.add_accounts([("s1", 2001, "/home/shared"), ("carol", 2002, "/home/carol/"),
                           ("s2", 2003, "/home/shared"), ("file", 2004, "/home/filebox"),
                           ("broken", 2005, "/home/broken"), ("linked", 2006, "/home/linked"),
                           ("rooted", 2007, "/"), ("nohome", 2008, "")])
        for path in ("/home/shared", "/home/carol", "/home/filebox", "/home/broken",
                     "/home/linked"):
            self.addCleanup(shutil.rmtree, path, True)
        self.assertEqual(backup_tool("backup-list")["list"],
                         ["/root/.box", "/home/alice/.box", "/home/bob/.box",
                          "/home/shared/.box", "/home/carol//.box", "/home/shared/.box",
                          "/home/linked/.box"])
        # The walk of the password database is ended: the daemon keeps no
        # descriptor of it.
        fds = f"/proc/{self.daemon.pid}/fd"
        self.assertNotIn(PASSWD, [os.path.realpath(os.path.join(fds, fd)) for fd in os.listdir(fds)])


class Wipe(BackupCase):
    def test_holders_die_the_caller_survives_and_the_box_is_gone(self):
        box = box_of("alice")
        a, b, top, hidden = make_tree(box, ["docs/a", "music/b", "top", ".hidden/h"],
                                      user="alice")
        in_docs = self.hold([a], user="alice")
        in_music = self.hold([b], user="alice")
        at_top = self.hold([top], user="alice")
        in_hidden = self.hold([hidden], user="alice")
        self.assertEqual(self.wipe("alice", hold=[a]), 0)  # the caller holds a file too
        self.assertEqual(in_docs.signal_of_death(), signal.SIGKILL)
        self.assertEqual(in_music.signal_of_death(), signal.SIGKILL)
        # Only visible subdirectories are scanned.
        self.assertTrue(at_top.alive())
        self.assertTrue(in_hidden.alive())
        self.assertFalse(os.path.lexists(box))
        assert_lines(self, self.syslog.lines(),
                     [line(r"format_boxRootEntries[N] called: strUserName = alice")])

    def test_holders_are_found_when_the_home_is_reached_through_a_link(self):
        os.makedirs("/home/real-carol/.box/sub")
        os.symlink("/home/real-carol", "/home/carol")
        self.addCleanup(subprocess.run, ["rm", "-rf", "/home/real-carol", "/home/carol"])
        (held,) = make_tree("/home/real-carol/.box", ["sub/f"])
        holder = self.hold([held])
        self.assertEqual(self.wipe("carol"), 0)
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)
        self.assertFalse(os.path.lexists("/home/real-carol/.box"))

    def test_mounts_in_subdirectories_hidden_ones_too_are_detached(self):
        box = box_of("alice")
        source = make_sentinel("bind-source")
        before = tree_digest(source)
        for name, mount in (("tmp", ["-t", "tmpfs", "box-tmpfs"]), (".cache", ["-t", "tmpfs", "x"]),
                            ("bound", ["--bind", source])):
            os.makedirs(os.path.join(box, name))
            subprocess.run(["mount"] + mount + [os.path.join(box, name)], check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", os.path.join(box, name)],
                            stderr=subprocess.DEVNULL)
        make_tree(os.path.join(box, "tmp"), ["in-tmpfs"])
        self.assertEqual(self.wipe("alice"), 0)
        self.assertFalse(os.path.lexists(box))
        for name in ("tmp", ".cache", "bound"):
            self.assertFalse(is_mount_point(os.path.join(box, name)))
        self.assertEqual(tree_digest(source), before)
        assert_lines(self, self.syslog.lines(),
                     [line(r"format_boxRootEntries[N] called: strUserName = alice")])

    def test_box_root_that_is_a_link_leaves_its_target_whole(self):
        sentinel = make_sentinel("linked-root-target")
        before = tree_digest(sentinel)
        box = box_of("alice")
        shutil.rmtree(box)
        os.symlink(sentinel, box)
        os.lchown(box, 1001, 1001)
        self.assertEqual(self.wipe("alice"), 0)
        self.assertEqual(tree_digest(sentinel), before)
        self.assertFalse(os.path.lexists(box))

    def test_subdirectory_link_to_a_mount_point_leaves_it_mounted(self):
        box = box_of("alice")
        for name, target in (("run", "/run"), ("home", "/home"), ("slash", "/")):
            os.symlink(target, os.path.join(box, name))
        self.assertEqual(self.wipe("alice"), 0)
        for target in ("/run", "/home"):
            self.assertTrue(is_mount_point(target))
        self.assertTrue(os.path.isdir("/home/bob/.box"))
        self.assertFalse(os.path.lexists(box))

    def test_refused_and_invalid_names_touch_nothing(self):
        for name in ("", ".", "..", "../bob", "alice/../bob", "a/b"):
            with self.subTest(name=name):
                self.syslog.mark()
                self.assertEqual(self.wipe(name), -1)
                lines = self.syslog.lines()
                self.assertEqual(len(lines), 2, lines)
                self.assertRegex(lines[0], line(r"format_boxRootEntries[N] called: strUserName = "))
        data, _ = call("/backup", BACKUP_IFACE, "format_boxRootEntries", "s", "bob")
        self.assertEqual(data, [-1])
        for user in USERS:
            self.assertTrue(os.path.isdir(box_of(user)))

    def test_user_without_a_box(self):
        self.assertEqual(self.wipe("nosuchuser"), 0)
        assert_lines(self, self.syslog.lines(),
                     [line(r"format_boxRootEntries[N] called: strUserName = nosuchuser"),
                      line(r"format_boxRootEntry[N] invalid entry: /home/nosuchuser/\.box")])

    def test_wipe_of_every_box_root(self):
        for user in USERS:
            make_tree(box_of(user), ["sub/f", "g"], user=user)
        self.assertEqual(backup_tool("backup-format-all")["result"], 0)
        for user in USERS:
            self.assertFalse(os.path.lexists(box_of(user)))
        self.assertEqual(backup_tool("backup-list")["list"], [])
        self.syslog.mark()
        self.assertEqual(backup_tool("backup-format-all")["result"], 0)
        assert_lines(self, self.syslog.lines(),
                     [line(r"format_allBoxRootEntries[N] BoxRootEntries is empty")])


if __name__ == "__main__":
    unittest.main()
