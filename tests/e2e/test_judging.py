"""Who holds a file in a box is judged by the file its descriptor refers to,
not by the text of its path: namespaces, bind mounts, descriptors parked in
the bus daemon, private descriptor tables, paths too deep to print, names
that are no UTF-8, a daemon without identity capabilities, dead mounts."""

import json
import os
import signal
import subprocess
import unittest

from harness import (DAEMON, HOLDER, SCRATCH, TESTCLIENT, Daemon, DaemonTestCase, as_user,
                     backup_tool, box_of, client, empty_boxes, make_tree)

NEVER = r"^passed over processes that are never signalled: \d+ \(dbus-daemon\)$"


class JudgingCase(DaemonTestCase):
    def setUp(self):
        super().setUp()
        empty_boxes()

    def files(self, path, user="root"):
        reply = client("files", path, user=user)
        return reply["result"], [(i["file"], i["relative"]) for i in reply["list"]]

    def kill(self, path, user="root"):
        return client("kill", path, user=user)["result"]

    def held(self, argv, user):
        return self.hold([], user=user, argv=argv)

    def wipe_alice(self):
        def remake():
            os.makedirs(box_of("alice"), 0o700, exist_ok=True)
            os.chown(box_of("alice"), 1001, 1001)
        self.addCleanup(remake)
        return backup_tool("backup-format", "alice")["result"]

    def scratch_dir(self, name, user):
        path = os.path.join(SCRATCH, name)
        os.makedirs(path, exist_ok=True)
        os.chown(path, 1001 if user == "alice" else 1002, 1001 if user == "alice" else 1002)
        return path


class Judging(JudgingCase):
    def test_namespaces_and_bind_mounts(self):
        box = box_of("bob")
        real, in_ns = make_tree(box, ["docs/real.txt", "docs/ns.txt"], user="bob")
        bound = self.scratch_dir("bound", "bob")
        subprocess.run(["mount", "--bind", os.path.join(box, "docs"), bound], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", bound])
        ns_point = self.scratch_dir("bob-ns", "bob")
        holders = {
            "bob, bind mount": self.hold([os.path.join(bound, "real.txt")], user="bob"),
            "bob, own namespace": self.held(
                ["unshare", "-Urm", "sh", "-c", 'mount --bind "$1" "$2" && exec "$3" "$2/docs/ns.txt"',
                 "sh", box, ns_point, HOLDER], "bob"),
            "alice, look-alike": self.held(
                ["unshare", "-Urm", "sh", "-c", 'mount -t tmpfs x /home/bob && mkdir -p "$1" '
                 '&& exec "$2" -c "$1/report.txt"', "sh", box + "/docs", HOLDER], "alice"),
        }
        expected = [(real, "docs/real.txt"), (in_ns, "docs/ns.txt")]
        for user in ("bob", "root"):
            with self.subTest(listing=user):
                self.assertEqual(self.files(box, user=user), (0, expected))
        self.assertEqual(self.kill(box, user="bob"), 0)
        self.assertEqual(self.kill(box), 0)
        for name, died in (("bob, bind mount", True), ("bob, own namespace", True),
                           ("alice, look-alike", False)):
            with self.subTest(holder=name):
                if died:
                    self.assertEqual(holders[name].signal_of_death(), signal.SIGKILL)
                else:
                    self.assertTrue(holders[name].alive())

    def test_descriptor_parked_in_the_bus_daemon(self):
        (parked,) = make_tree(box_of("alice"), ["sub/parked.txt"], user="alice")
        stalled = subprocess.Popen(as_user("alice", [TESTCLIENT, "stall"]), stdout=subprocess.PIPE)
        self.addCleanup(stalled.wait)
        self.addCleanup(stalled.kill)
        with stalled.stdout:
            name = json.loads(stalled.stdout.readline())["name"]
        self.assertIn('"parked":true', subprocess.run(
            as_user("alice", [TESTCLIENT, "park", name, parked]), capture_output=True,
            text=True).stdout)
        for call in ("kill", "wipe"):
            with self.subTest(call=call):
                mark = self.daemon.mark()
                if call == "kill":
                    self.assertEqual(self.kill(box_of("alice")), 0)
                else:
                    self.assertEqual(self.wipe_alice(), 0)
                self.assertRegex(self.daemon.lines_since(mark, 1)[0], NEVER)
                # The bus still serves.
                self.assertEqual(self.files(box_of("root")), (0, []))

    def test_every_descriptor_table_is_read(self):
        box = box_of("root")
        for flag, name in (("-t", "thread with its own table"), ("-x", "leader exited")):
            with self.subTest(name):
                (f,) = make_tree(box, [f"t{flag}"])
                holder = self.hold([flag, f])
                self.assertEqual(self.files(box), (0, [(f, f"t{flag}")]))
                self.assertEqual(self.kill(box), 0)
                self.assertEqual(holder.signal_of_death(), signal.SIGKILL)
                os.unlink(f)

    def test_paths_deeper_than_the_kernel_prints(self):
        box = box_of("alice")
        base = make_tree(box, ["deep/x"], user="alice")[0].rsplit("/", 1)[0]
        # A directory is placed by climbing from it; a file cannot be, and
        # its holder may live: every call says so.
        directory = self.hold(["-D", base], user="alice")
        self.assertEqual(self.kill(box, user="alice"), 0)
        self.assertEqual(directory.signal_of_death(), signal.SIGKILL)
        holder = self.hold(["-D", "-c", base], user="alice")
        unjudged = f"could not judge every descriptor of: {holder.pid} (arkvane-holder)"
        for caller, call in (("alice", "kill"), ("root", "kill"), ("root", "wipe")):
            with self.subTest(caller=caller, call=call):
                mark = self.daemon.mark()
                if call == "kill":
                    self.assertEqual(self.kill(box, user=caller), -1)
                else:
                    self.assertEqual(self.wipe_alice(), -1)
                self.assertIn(unjudged, self.daemon.lines_since(mark, 1))
                self.assertTrue(holder.alive())
        self.assertEqual(self.files(box_of("alice")), (-1, []))

    def test_names_that_are_not_utf8_and_deleted_look_alikes(self):
        box = os.fsencode(box_of("alice"))
        names = [b"bad\xff.txt", b"caf\xe9.txt", b"\xed\xa0\x80.txt", b"x (deleted)",
                 b"gone.txt (deleted)"]
        for name in names:
            open(box + b"/" + name, "w").close()
            os.chown(box + b"/" + name, 1001, 1001)
        self.hold([os.fsdecode(box + b"/" + name) for name in names[:4]], user="alice")
        self.hold([os.fsdecode(box + b"/gone.txt")], user="alice", create=True, unlink=True)
        box = box_of("alice")
        expected = [(f"{box}/{r}", r) for r in
                    ("bad\ufffd.txt", "caf\ufffd.txt", "\ufffd\ufffd\ufffd.txt", "x (deleted)")]
        for user in ("alice", "root"):
            with self.subTest(user=user):
                self.assertEqual(self.files(box, user=user), (0, expected))

    def test_caller_gid_and_groups_decide_what_is_seen(self):
        box = box_of("alice")
        own, shared, closed = make_tree(box, ["own/e", "shared/f", "closed/g"])
        for directory, gid in (("own", 1101), ("shared", 1500), ("closed", 0)):
            os.chown(os.path.join(box, directory), 0, gid)
            os.chmod(os.path.join(box, directory), 0o750)
        self.hold([own, shared, closed])
        self.assertEqual(self.files(box, user="alice"), (0, [(own, "own/e"), (shared, "shared/f")]))

    def test_dead_fuse_mounts_are_wiped(self):
        box = box_of("alice")
        devices = []
        for name in ("closed", "unanswered"):
            os.makedirs(os.path.join(box, name))
            fd = os.open("/dev/fuse", os.O_RDWR)
            subprocess.run(["mount", "-i", "-t", "fuse", "-o",
                            f"fd={fd},rootmode=40000,user_id=1001,group_id=1001", "x",
                            os.path.join(box, name)], check=True, pass_fds=(fd,))
            self.addCleanup(subprocess.run, ["umount", "-l", os.path.join(box, name)],
                            stderr=subprocess.DEVNULL)
            devices.append(fd)
        os.close(devices.pop(0))
        self.addCleanup(os.close, devices[0])
        self.assertEqual(self.wipe_alice(), 0)
        self.assertFalse(os.path.lexists(box))


class WithoutIdentityCapabilities(JudgingCase):
    @classmethod
    def setUpClass(cls):
        wrapper = os.path.join(SCRATCH, "arkvaned-without-setid")
        with open(wrapper, "w") as f:
            f.write(f'#!/bin/sh\nexec setpriv --bounding-set -setuid,-setgid "{DAEMON}"\n')
        os.chmod(wrapper, 0o755)
        cls.daemon = Daemon(wrapper).start()

    def test_listing_is_refused_not_widened(self):
        self.assertIn("running without CAP_SETUID, CAP_SETGID - these calls will fail: "
                      "get_allRunFileList for callers other than root", self.daemon.lines)
        box = box_of("alice")
        (hidden,) = make_tree(box, ["closed/f"])
        os.chmod(os.path.join(box, "closed"), 0o700)
        self.hold([hidden])
        mark = self.daemon.mark()
        self.assertEqual(self.files(box, user="alice"), (-1, []))
        self.assertEqual(self.daemon.lines_since(mark, 1)[0],
                         "could not take on the file-system identity of uid 1001 - listing refused")
        self.assertEqual(self.files(box), (0, [(hidden, "closed/f")]))


if __name__ == "__main__":
    unittest.main()
