# SPDX-License-Identifier: GPL-2.0-or-later
"""Who holds a file in a box is judged by the file its descriptor refers to,
not by the text of its path."""

from harness import *

NEVER = (r"^passed over processes that are never signalled: "
         r"(1 \(python3\), \d+ \(dbus-daemon\)|\d+ \(dbus-daemon\), 1 \(python3\))$")


class Judging(DaemonTestCase):
    def test_namespaces_and_mounts_in_and_around_the_box(self):
        box = box_of("bob")
        real, in_ns, mnt, view = make_tree(box, ["docs/real.txt", "docs/ns.txt", "mnt/", "view/"], user="bob")
        (beside,) = make_tree("/home/bob", ["beside.txt"], user="bob")  # on the box's file system
        ns_point, mnt_elsewhere = make_tree(SCRATCH, ["bob-ns/", "mnt/"], user="bob")
        bound = box + "2"  # its name only extends the box's
        os.mkdir(bound)
        for source, target in (("tmpfs", mnt), (box + "/docs", bound), (mnt, mnt_elsewhere), (box + "/docs", view)):
            subprocess.run(["mount"] + (["-t", "tmpfs"] if source == "tmpfs" else ["--bind"]) + [source, target],
                           check=True)
            self.addCleanup(subprocess.run, ["umount", "-l", target])
        (in_mnt,) = make_tree(mnt, ["g"], user="bob")
        # Held through the bind beside the box, from a namespace of bob's, at the root of the mount below
        # the box, and through that mount's bind outside it.
        bobs = [self.hold([os.path.join(bound, "real.txt")], user="bob"), self.hold([], "bob", argv=[
            "unshare", "-Urm", "sh", "-c", 'mount --rbind "$1" "$2" && exec "$3" "$2/docs/ns.txt"',
            "sh", box, ns_point, HOLDER]), self.hold([mnt], "bob"), self.hold([mnt_elsewhere + "/g"], "bob"),
            self.hold([view + "/real.txt"], "bob")]  # below the box, a mount whose root is not its file system's
        spared = [self.hold([], "alice", argv=[  # the same path on another file system
            "unshare", "-Urm", "sh", "-c", 'mount -t tmpfs x /home/bob && mkdir -p "$1" '
            '&& exec "$2" -c "$1/report.txt"', "sh", box + "/docs", HOLDER]),
            self.hold([], "bob", argv=[  # the box as its namespace's root
                "unshare", "-Urm", "sh", "-c", 'mount --rbind "$1" "$1" && cd "$1" && mount -n --move . / '
                '&& exec "$2" .', "sh", box, HOLDER]), self.hold([beside], "bob")]
        expected = [(real, "docs/real.txt"), (in_ns, "docs/ns.txt"), (mnt, "mnt"), (in_mnt, "mnt/g"),
                    (view + "/real.txt", "view/real.txt")]
        for user in ("bob", "root"):
            self.assertEqual(self.files(box, user=user), (0, expected))
        self.assertEqual((self.kill(box, user="bob"), self.kill(box)), (0, 0))
        self.assertEqual([h.signal_of_death() for h in bobs], [signal.SIGKILL] * 5)
        self.assertEqual([h.alive() for h in spared], [True] * 3)

    def test_descriptor_parked_in_the_bus_daemon(self):
        (parked,) = make_tree(box_of("alice"), ["sub/parked.txt"], user="alice")
        stalled = subprocess.Popen(as_user("alice", [TESTCLIENT, "stall"]), stdout=subprocess.PIPE)
        self.addCleanup(lambda: (stalled.kill(), stalled.wait()))
        with stalled.stdout:
            name = json.loads(stalled.stdout.readline())["name"]
        self.assertEqual(client("park", name, parked, user="alice"), {"parked": True})
        fd = os.open(parked, os.O_RDONLY)  # pid 1, the sandbox's init, holds it too
        hand_to_pid1(fd)
        self.addCleanup(hand_to_pid1)
        os.close(fd)
        for call, arg in ((self.kill, box_of("alice")), (self.wipe, "alice")):
            mark = self.daemon.mark()
            self.assertEqual(call(arg), 0)
            self.assertRegex(self.daemon.lines_since(mark, 1)[0], NEVER)
            self.assertEqual(self.files(box_of("root")), (0, []))  # the bus still serves

    def test_every_descriptor_table_is_read(self):
        for flag in ("-t", "-x"):  # a thread with a table of its own; the leader gone
            (f,) = make_tree(box_of("root"), [f"t{flag}"])
            holder = self.hold([flag, f])
            self.assertEqual((self.files(box_of("root")), self.kill(box_of("root"))), ((0, [(f, f"t{flag}")]), 0))
            self.assertEqual(holder.signal_of_death(), signal.SIGKILL)
            os.unlink(f)

    def test_paths_deeper_than_the_kernel_prints(self):
        box = box_of("bob")
        (base,) = make_tree(box, ["deep/"], user="bob")
        # A directory is placed by climbing from it, a file by its identity in the box's tree; neither can
        # be named in a listing, which says so.
        holders = [self.hold(["-D", base], user="bob"), self.hold(["-D", "-c", base], user="bob")]
        mark = self.daemon.mark()
        self.assertEqual(self.files(box), (0, []))
        self.assertIn("left out held files that could not be placed or named, held by: "
                      f"{holders[0].pid} (arkvane-holder), {holders[1].pid} (arkvane-holder)",
                      self.daemon.lines_since(mark, 1))
        self.assertEqual(self.kill(box), 0)
        self.assertEqual([h.signal_of_death() for h in holders], [signal.SIGKILL] * 2)

    def test_deleted_files_the_kernel_cannot_print(self):
        # Where a file was cannot be told once its name is gone and the kernel no longer prints its path
        # (" (deleted)" added): its holder may live, and with either engine the kill says so.
        box = box_of("alice")
        for length in (4086, 4095):
            with self.subTest(length):
                (path,) = make_tree(box, [long_name(length - len(box) - 1)], user="alice")
                holder, mark = self.hold([path], "alice", unlink=True), self.daemon.mark()
                self.assertEqual((len(path), self.kill(box, user="alice"), holder.alive()), (length, -1, True))
                self.assertIn(f"could not judge every descriptor of: {holder.pid} (arkvane-holder)",
                              self.daemon.lines_since(mark, 1))
                holder.stop()

    def test_names_that_are_not_utf8_and_deleted_look_alikes(self):
        # An overlong "/" (c0 af), a cut sequence, a surrogate.
        names = [b"bad\xff\xc0\xaf.txt", b"caf\xe9.txt", b"\xed\xa0\x80.txt", b"x (deleted)", b"gone.txt (deleted)"]
        paths = make_tree(box_of("alice"), [os.fsdecode(n) for n in names], user="alice")
        self.hold(paths[:4], user="alice")
        self.hold([box_of("alice") + "/gone.txt"], user="alice", create=True, unlink=True)
        expected = [(f"{box_of('alice')}/{r}", r) for r in
                    ("bad\ufffd\ufffd\ufffd.txt", "caf\ufffd.txt", "\ufffd\ufffd\ufffd.txt", "x (deleted)")]
        for user in ("alice", "root"):
            self.assertEqual(self.files(box_of("alice"), user=user), (0, expected))

    def test_a_directory_moved_into_the_box_between_two_listings(self):
        box, deep = box_of("alice"), "moved/" + "d/" * 40 + "f"  # deep enough for the kernel engine to remember
        self.hold(make_tree("/home/alice", [deep], user="alice"), user="alice")
        self.assertEqual(self.files(box, user="alice"), (0, []))
        os.rename("/home/alice/moved", box + "/moved")  # no verdict of the first listing outlives it
        self.assertEqual(self.files(box, user="alice"), (0, [(f"{box}/{deep}", deep)]))

    def test_a_held_name_removed_while_another_link_lives(self):
        box = box_of("alice")
        (held,), other = make_tree(box, ["held"], user="alice"), box + "/other"
        os.link(held, other)
        holder = self.hold([held], user="alice", unlink=True)
        os.link(other, held)  # the same file under the same name again, not through the held dentry
        self.assertEqual((self.files(box, user="alice"), self.kill(box, user="alice")), ((0, []), 0))
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)

    def test_caller_gid_and_groups_decide_what_is_seen(self):
        box = box_of("alice")
        own, shared, closed = make_tree(box, ["own/e", "shared/f", "closed/g"])
        for directory, gid in (("own", 1101), ("shared", 1500), ("closed", 0)):
            os.chown(os.path.join(box, directory), 0, gid)
            os.chmod(os.path.join(box, directory), 0o750)
        self.hold([own, shared, closed])
        # Existence is tested as the caller: a link target can be redirected
        # between the read of a descriptor and the test.
        seen = [(own, "own/e"), (shared, "shared/f")]
        self.assertEqual(self.files(box, user="alice"), (0, seen))
        self.assertEqual(self.files(box), (0, seen + [(closed, "closed/g")]))

    def test_fuse_mounts_dead_or_closed_to_the_daemon(self):
        box = box_of("alice")
        closed, unanswered, served = (os.open("/dev/fuse", os.O_RDWR) for _ in range(3))
        for fd in (closed, unanswered, served):  # no allow_other: only alice may look inside
            os.makedirs(f"{box}/{fd}")
            subprocess.run(["mount", "-i", "-t", "fuse", "-o", f"fd={fd},rootmode=40000,user_id=1001,"
                            "group_id=1101", "x", f"{box}/{fd}"], check=True, pass_fds=(fd,))
            self.addCleanup(subprocess.run, ["umount", "-l", f"{box}/{fd}"], stderr=subprocess.DEVNULL)
        server = subprocess.Popen([os.environ["ARKVANE_STALLFS"], f"/dev/fd/{served}", "-f"], pass_fds=(served,),
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(lambda: (server.kill(), server.wait(), server.stdout.close()))
        self.assertEqual(server.stdout.readline().strip(), "ready")
        [os.close(fd) for fd in (closed, served)]
        self.addCleanup(os.close, unanswered)
        # Its descriptor cannot be statted by the daemon, yet it is judged.
        holder = self.hold([f"{box}/{served}/f0"], user="alice")
        self.assertEqual(self.wipe("alice"), 0)
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)
        self.assertFalse(os.path.lexists(box))


class WithoutIdentityCapabilities(DaemonTestCase):
    @classmethod
    def setUpClass(cls):
        # CAP_SETGID kept: the file-system gid and groups are taken on, the uid is not.
        cls.daemon = Daemon("setpriv", "--bounding-set", "-setuid", DAEMON).start()

    def test_listing_is_refused_not_widened(self):
        self.assertIn("running without CAP_SETUID - these calls will fail: "
                      "get_allRunFileList for callers other than root", self.daemon.lines)
        (hidden,) = make_tree(box_of("alice"), ["closed/f"])
        os.chmod(os.path.dirname(hidden), 0o700)
        self.hold([hidden])
        mark = self.daemon.mark()
        self.assertEqual(self.files(box_of("alice"), user="alice"), (-1, []))
        self.assertEqual(self.daemon.lines_since(mark, 1)[0],
                         "could not take on the file-system identity of uid 1001 - get_allRunFileList refused")
        self.assertEqual(self.files(box_of("alice")), (0, [(hidden, "closed/f")]))
