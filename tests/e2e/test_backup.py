# SPDX-License-Identifier: GPL-2.0-or-later
"""The backup interface over the bus: the caller check, box root discovery and
wipes, with real accounts, mounts and processes."""

from harness import *

PASSWD = "/etc/passwd"
CALLED = site(r"format_boxRootEntries[N] called: strUserName = alice")


def is_mount_point(path):
    with open("/proc/self/mountinfo") as f:
        return any(l.split()[4] == path for l in f)


class CallerCheck(DaemonTestCase):
    def test_only_the_admitted_programs_are_served(self):
        copy = "/usr/bin/quellard-extra"  # only begins with an admitted path
        shutil.copy2(TESTCLIENT, copy)
        self.addCleanup(os.unlink, copy)
        called = site(r"get_allBoxRootEntries[N] called")
        for program, listed, lines in (
                ("/usr/bin/quellard", True, [called]),
                ("/usr/bin/tavrin-quellard", True, [called]),
                (copy, False, [called, f"check_callerPrivilege[112] failed: program_path = {copy}"])):
            with self.subTest(program=program):
                self.syslog.mark()
                reply = backup_tool("backup-list", program=program)
                self.assertEqual(reply["signature"], "as")
                self.assertEqual("/root/.box" in reply["list"], listed)
                self.assertLines(self.syslog.lines(), lines)

    def test_root_running_another_program_is_refused(self):
        for method, args, reply in (("get_allBoxRootEntries", (), []),
                                    ("format_boxRootEntries", ("s", "alice"), -1),
                                    ("format_allBoxRootEntries", (), -1)):
            self.assertEqual(call("/backup", BACKUP_IFACE, method, *args), ([reply], None))
        refused = f"check_callerPrivilege[112] failed: program_path = {os.path.realpath(shutil.which('busctl'))}"
        self.assertLines(self.syslog.lines(), [site(r"get_allBoxRootEntries[N] called"), refused,
                                               CALLED, refused, refused])
        self.assertTrue(os.path.isdir(box_of("alice")))

    def test_caller_that_left_the_bus(self):
        os.kill(self.daemon.pid, signal.SIGSTOP)
        done = run(["/usr/bin/quellard", "--no-reply", "backup-list"])
        os.kill(self.daemon.pid, signal.SIGCONT)
        self.assertEqual(done.returncode, 0, done.stderr)
        # One more call: the daemon serves in order, so the first one is done.
        logfile("get_certificationInterval", "s", "x")
        self.assertLines(self.syslog.lines(), [site(r"get_allBoxRootEntries[N] called"),
                                               "check_callerPrivilege[103] failed: uid = 0"])


class Discovery(DaemonTestCase):
    def test_database_order_duplicates_and_odd_homes(self):
        for home in ("shared", "carol", "filebox", "broken", "linked"):
            os.makedirs(f"/home/{home}")
            self.addCleanup(shutil.rmtree, f"/home/{home}")
        os.makedirs("/home/shared/.box")
        os.makedirs("/home/carol/.box")
        open("/home/filebox/.box", "w").close()
        os.symlink("/home/nowhere", "/home/broken/.box")
        os.symlink("/home/carol/.box", "/home/linked/.box")
        add_accounts(self, *(f"{name}:x:{uid}:{uid}::{home}:/bin/sh" for name, uid, home in (
            ("s1", 2001, "/home/shared"), ("carol", 2002, "/home/carol/"), ("s2", 2003, "/home/shared"),
            ("file", 2004, "/home/filebox"), ("broken", 2005, "/home/broken"), ("linked", 2006, "/home/linked"),
            ("rooted", 2007, "/"), ("nohome", 2008, ""))))
        self.assertEqual(backup_tool("backup-list")["list"],
                         ["/root/.box", "/home/alice/.box", "/home/bob/.box",
                          "/home/shared/.box", "/home/carol//.box", "/home/shared/.box",
                          "/home/linked/.box"])
        # The walk of the password database is ended: the daemon keeps no
        # descriptor of it.
        fds = f"/proc/{self.daemon.pid}/fd"
        self.assertNotIn(PASSWD, [os.path.realpath(os.path.join(fds, fd)) for fd in os.listdir(fds)])


class Wipe(DaemonTestCase):
    def test_holders_die_the_caller_survives_and_the_box_is_gone(self):
        # Holders below subdirectories, hidden ones and one whose name is no
        # UTF-8, and of files in the box root itself: one scan finds them all.
        held = make_tree(box_of("alice"), ["docs/a", "top", ".hidden/h", "\udcff\udcfe/n"], user="alice")
        holders = [self.hold([p], user="alice") for p in held]
        self.assertEqual(self.wipe("alice", hold=held[:1]), 0)  # the caller holds a file too
        self.assertEqual([h.signal_of_death() for h in holders], [signal.SIGKILL] * 4)
        self.assertFalse(os.path.lexists(box_of("alice")))
        self.assertLines(self.syslog.lines(), [CALLED])

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
        source = os.path.join(SCRATCH, "bind-source")
        make_tree(source, [f"d{i}/inner/keep" for i in range(3)])
        before = snapshot(source)
        mounts = {"tmp": ["-t", "tmpfs", "box-tmpfs"], "tmp/in": ["-t", "tmpfs", "x"], ".cache": ["-t", "tmpfs", "x"],
                  "bound": ["--bind", source]}
        for name, mount in mounts.items():
            os.makedirs(os.path.join(box, name))
            subprocess.run(["mount"] + mount + [os.path.join(box, name)], check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", os.path.join(box, name)],
                            stderr=subprocess.DEVNULL)
        # Nested, and busy: the caller, spared, holds a file in the inner one.
        self.assertEqual(self.wipe("alice", hold=make_tree(os.path.join(box, "tmp/in"), ["f"])), 0)
        self.assertFalse(os.path.lexists(box))
        for name in mounts:
            self.assertFalse(is_mount_point(os.path.join(box, name)))
        self.assertEqual(snapshot(source), before)
        self.assertLines(self.syslog.lines(), [CALLED])

    def test_mounts_on_the_box_root_itself_are_detached_never_emptied(self):
        # A directory outside every box bound on the box root, a mount below
        # it and a holder reached through it; alone or stacked on a tmpfs.
        box, source = box_of("alice"), os.path.join(SCRATCH, "outside")
        make_tree(source, ["d/inner/keep", "top", "sub/"])
        before = snapshot(source)
        self.addCleanup(subprocess.run, ["umount", "-R", "-q", box])
        for command, stacked in (("backup-format", False), ("backup-format-all", False), ("backup-format", True)):
            with self.subTest(command=command, stacked=stacked):
                fresh_box("alice")
                make_tree(box, ["beneath"], user="alice")
                for mount in [["-t", "tmpfs", "x", box]] * stacked + [["--bind", source, box],
                                                                      ["-t", "tmpfs", "x", box + "/sub"]]:
                    subprocess.run(["mount", *mount], check=True)
                holder = self.hold([box + "/top"], user="alice")
                self.assertEqual(backup_tool(command, *["alice"] * (command == "backup-format"))["result"], 0)
                self.assertEqual(holder.signal_of_death(), signal.SIGKILL)
                self.assertEqual((os.path.lexists(box), is_mount_point(box), is_mount_point(box + "/sub")),
                                 (False, False, False))
                self.assertEqual(snapshot(source), before)

    def test_links_are_removed_never_followed(self):
        # alice's box root is a link; bob's holds links to mount points.
        target = os.path.join(SCRATCH, "linked-root-target")
        make_tree(target, ["d/inner/keep", "e"])
        before = snapshot(target)
        os.rmdir(box_of("alice"))
        os.symlink(target, box_of("alice"))
        os.lchown(box_of("alice"), 1001, 1001)
        for name, link_target in (("run", "/run"), ("home", "/home"), ("slash", "/")):
            os.symlink(link_target, os.path.join(box_of("bob"), name))
        self.assertEqual((self.wipe("alice"), self.wipe("bob")), (0, 0))
        self.assertEqual(snapshot(target), before)
        self.assertTrue(is_mount_point("/run") and is_mount_point("/home") and os.path.isdir("/home/alice"))
        self.assertEqual([os.path.lexists(box_of(u)) for u in USERS], [True, False, False])

    def test_refused_names_and_a_user_without_a_box_touch_nothing(self):
        refused = r"format_boxRootEntries[N] refused: strUserName = {} names no single directory"
        for name, result, second in (*((n, -1, refused) for n in ("", ".", "..", "../bob", "alice/../bob", "a/b")),
                                     ("nosuchuser", 0, r"format_boxRootEntry[N] invalid entry: /home/{}/\.box")):
            with self.subTest(name=name):
                self.syslog.mark()
                self.assertEqual(self.wipe(name), result)
                self.assertLines(self.syslog.lines(), [site(r"format_boxRootEntries[N] called: strUserName = "
                                                            + re.escape(name)), site(second.format(re.escape(name)))])
        self.assertEqual(call("/backup", BACKUP_IFACE, "format_boxRootEntries", "s", "bob"), ([-1], None))
        self.assertTrue(all(os.path.isdir(box_of(user)) for user in USERS))

    def test_wipe_of_every_box_root(self):
        for user in USERS:
            make_tree(box_of(user), ["sub/f", "g"], user=user)
        self.assertEqual(backup_tool("backup-format-all")["result"], 0)
        self.assertFalse(any(os.path.lexists(box_of(user)) for user in USERS))
        self.assertEqual(backup_tool("backup-list")["list"], [])
        self.syslog.mark()
        self.assertEqual(backup_tool("backup-format-all")["result"], 0)
        self.assertLines(self.syslog.lines(), [site(r"format_allBoxRootEntries[N] BoxRootEntries is empty")])

