# SPDX-License-Identifier: GPL-2.0-or-later
"""No caller stalls the daemon for the others, no reply or log line outgrows
its channel; and races: callers leaving, holders ending, box roots vanishing."""

import collections
import contextlib
import resource

from harness import *

STALLFS = public_copy("ARKVANE_STALLFS")
DEADLINE_MS = 5000
# Read by the daemon at start: a stuck call is answered after 5 s, not 20.
os.environ["ARKVANE_TEST_CALL_DEADLINE_MS"] = str(DEADLINE_MS)
QUEUE = 16
PROBE_BOUND_S = DEADLINE_MS / 10000  # the daemon's wait for one box root's look-up: 500 ms


def sent(user, *command, program=TESTCLIENT):
    """A call of the test client, its reply not awaited, once the bus has passed it on: a later
    call reaches the daemon after it."""
    proc = subprocess.Popen(as_user(user, [program, "--announce", *command]), stdout=subprocess.PIPE, text=True)
    assert json.loads(proc.stdout.readline()) == {"sent": True}
    return proc


def result_of(proc, timeout=DEADLINE_MS / 1000 + 10):
    proc.wait(timeout)
    with proc.stdout:  # read through its buffer, which may hold the reply already
        return json.loads(proc.stdout.read())["result"]


class ConcurrencyTest(DaemonTestCase):
    def stalled_mount(self, user, mnt=None):
        """A file system at mnt (in user's box unless given) that served f0 to
        user's holder, then stopped; returns mnt and its release."""
        mnt = mnt or os.path.join(box_of(user), "mnt")
        os.mkdir(mnt)
        server, release = self.stallfs(mnt)
        self.hold([os.path.join(mnt, "f0")], user=user)
        server.send_signal(signal.SIGUSR1)
        return mnt, release

    def stallfs(self, mnt):
        """The stalling file system mounted at mnt: its server and release."""
        server = subprocess.Popen([STALLFS, mnt, "-f", "-o", "allow_other"],
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.assertEqual(server.stdout.readline().strip(), "ready")

        def release():
            """What the server said since "ready"."""
            if server.returncode is None:  # its end aborts the connection: every waiting request fails
                server.kill()
                server.wait()
                subprocess.run(["umount", "-l", mnt], stderr=subprocess.DEVNULL)  # a wipe may have detached it
                with server.stdout:
                    return server.stdout.read()
        self.addCleanup(release)
        return server, release

    def test_stalled_unlink_withholds_no_answer_and_no_other_wipe(self):
        # On alice's box root, her FUSE mount, which never answers an unlink, is
        # detached, never emptied. On her home it has her wipe stuck in an
        # unlink: answered at the deadline, while bob's wipe, sent after it,
        # runs beside it; a wipe of every box root, stuck in her box too, still
        # wipes his; and once both workers are past their deadlines the share
        # serves again.
        quellard = "/usr/bin/quellard"
        late = ("format_%s[313] no answer within 5000 ms from its worker, caller uid 0 answered -1; it stopped "
                "after 0 signals, 0 unmounts, %d removals%s")
        # No subtests: the first failure ends the test, and its clean-up the server a stuck wipe waits for.
        for mnt, answer in ((box_of("alice"), 0), ("/home/alice", -1)):
            fresh_box("bob")
            server, release = self.stallfs(mnt)
            self.syslog.mark()
            alices, started = sent("root", "backup-format", "alice", program=quellard), time.monotonic()
            if answer == -1:
                self.assertEqual(server.stdout.readline(), "unlink\n")
            self.assertEqual((self.wipe("bob"), os.path.lexists(box_of("bob"))), (0, False))
            if answer == 0:
                # Gone, so no longer a mount point, and its server was asked no unlink.
                self.assertEqual((result_of(alices), os.path.lexists(mnt), release()), (0, False, ""))
                continue
            self.assertIsNone(alices.poll(), "her stuck wipe answered before its deadline")
            fresh_box("bob")
            everyone = sent("root", "backup-format-all", program=quellard)
            self.assertEqual(result_of(alices), -1)
            self.assertLess(time.monotonic() - started, DEADLINE_MS / 1000 + 1)
            self.assertEqual((result_of(everyone), os.path.lexists(box_of("bob"))), (-1, False))
            fresh_box("bob")
            self.assertEqual((self.wipe("bob"), os.path.lexists(box_of("bob"))), (0, False))
            self.assertEqual([l for l in self.syslog.lines() if "[313]" in l], [
                late % ("boxRootEntries", 0, "; a removal under way is its last"), late % ("allBoxRootEntries", 2, "")])
            mark = self.daemon.mark()
            self.assertEqual(release(), "")  # no unlink after the answer
            self.assertEqual(sorted(l for l in self.daemon.lines_since(mark, 4) if "work ended" in l), [
                f"format_{f} work ended after its answer, having made 0 signals, 0 unmounts, {n} removals"
                for f, n in (("allBoxRootEntries", 2), ("boxRootEntries", 1))])

    def test_stalled_shares_tie_up_only_their_callers(self):
        add_accounts(self, "carol:x:1003:1003::/home/carol:/bin/sh")
        carol = "/home/carol/.box"
        self.addCleanup(shutil.rmtree, "/home/carol")
        os.makedirs(carol)
        # Three shares stalled: alice's (her flood waits behind), bob's kill and root's listing.
        _, bobs_mount, roots_mount = (self.stalled_mount(user)[0] for user in ("alice", "bob", "root"))
        stuck, *flood = [sent("alice", "files", box_of("alice")) for _ in range(QUEUE + 5)]
        bobs, roots = sent("bob", "kill", bobs_mount + "/x"), sent("root", "files", roots_mount + "/x")
        # Meanwhile the bus thread, carol's listing and kill, and the box roots' own share serve.
        self.assertEqual(logfile("get_certificationInterval", "s", "alice", user="alice"), ([600], None))
        holder = self.hold(make_tree(carol, ["f"]), user=1003)
        self.assertEqual(self.files(carol, user=1003), (0, [(carol + "/f", "f")]))
        self.assertEqual((self.kill(carol, user=1003), holder.signal_of_death()), (0, signal.SIGKILL))
        every_box_root = [box_of("root"), box_of("alice"), box_of("bob"), carol]
        self.assertEqual(backup_tool("backup-list")["list"], every_box_root)
        self.assertIsNone(stuck.poll(), "her call was answered although her mount is stuck")
        # Each stalled call and her flood: answered -1 within the deadline, none left hanging.
        self.assertEqual([result_of(p) for p in [stuck, bobs, roots] + flood], [-1] * (QUEUE + 7))
        # Their workers, still stuck, keep their shares but give their places back: with carol's
        # call stuck too, the box roots are listed at once.
        mnt, release = self.stalled_mount(1003, carol + "/mnt")
        carols = sent(1003, "files", mnt + "/x")
        self.assertEqual(backup_tool("backup-list")["list"], every_box_root)
        release()
        result_of(carols)
        # Of hers, one runs, QUEUE wait, the rest are refused at once.
        self.assertEqual(collections.Counter(l for l in self.syslog.lines() if "uid 1001" in l), {
            "get_allRunFileList[311] refused: caller uid 1001, 16 of its calls already wait": 4,
            "get_allRunFileList[313] no answer within 5000 ms from its worker, caller uid 1001 answered -1": 1,
            "get_allRunFileList[313] no answer within 5000 ms while waiting for a worker, "
            "caller uid 1001 answered -1": QUEUE})

    def test_box_root_in_a_stalled_mount_is_left_out_and_left_alone(self):
        os.rmdir(box_of("alice"))
        stalled = "/home/alice/stalled"
        self.addCleanup(os.rmdir, stalled)
        mnt, release = self.stalled_mount("alice", stalled)
        os.symlink(mnt, box_of("alice"))
        # Her wipe waits out the bound on her look-up; what follows knows it stalls.
        for call, answer, waited in ((lambda: self.wipe("alice"), -1, True),
                                     (lambda: backup_tool("backup-list")["list"], [box_of("root"), box_of("bob")],
                                      False)):
            started = time.monotonic()
            self.assertEqual(call(), answer)
            self.assertEqual(time.monotonic() - started > PROBE_BOUND_S, waited)
        self.assertEqual(self.wipe("bob"), 0)
        fresh_box("bob")
        self.assertEqual(backup_tool("backup-format-all")["result"], 0)
        self.assertEqual([os.path.lexists(box_of(u)) for u in ("root", "alice", "bob")], [False, True, False])
        left_out = f"get_allBoxRootEntriesInner[321] left out: {box_of('alice')} did not answer within 500 ms"
        self.assertEqual([l for l in self.syslog.lines() if "alice" in l], [
            "format_boxRootEntries[219] called: strUserName = alice",
            f"format_boxRootEntry[322] left alone: {box_of('alice')} did not answer within 500 ms", left_out, left_out])
        # Once her look-up returns, her entry is listed again: left whole, never touched late.
        release()
        deadline = time.monotonic() + 10
        while box_of("alice") not in backup_tool("backup-list")["list"]:
            self.assertLess(time.monotonic(), deadline)
        self.assertEqual(os.readlink(box_of("alice")), mnt)

    def test_a_stalled_link_holds_no_share(self):
        # alice's box leads into her file system that stopped answering: root's calls on it
        # are refused at the look-up's bound (then at once), and root's listing of bob's box
        # is served meanwhile as if she did not exist.
        os.rmdir(box_of("alice"))
        stalled = "/home/alice/stalled"
        self.addCleanup(os.rmdir, stalled)
        mnt, _ = self.stalled_mount("alice", stalled)
        os.symlink(mnt + "/inner", box_of("alice"))
        os.lchown(box_of("alice"), *USERS["alice"])
        bobs = make_tree(box_of("bob"), ["f"], user="bob")
        self.hold(bobs, user="bob")
        for _ in range(2):
            started = time.monotonic()
            self.assertEqual(self.files(box_of("alice")), (-1, []))
            self.assertLess(time.monotonic() - started, DEADLINE_MS / 1000)
            self.assertEqual(self.files(box_of("bob")), (0, [(bobs[0], "f")]))
        line = f"get_allRunFileList[67] refused: caller uid 0 for path {box_of('alice')}, it did not resolve within 500 ms"
        self.assertEqual(self.syslog.lines(), [line] * 2)

    def test_reply_too_large_for_a_bus_message_is_refused(self):
        # 4,500 files with paths of about 3,700 bytes: some 33 MB on the wire.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, 8192), max(hard, 8192)))
        self.addCleanup(resource.setrlimit, resource.RLIMIT_NOFILE, (soft, hard))
        deep = os.path.join(box_of("alice"), *(["d" * 250] * 14))
        os.makedirs(deep)
        directory = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
        held = [directory] + [os.open(f"{i:05d}" + "f" * 180, os.O_RDONLY | os.O_CREAT, 0o644,
                                      dir_fd=directory) for i in range(4500)]
        self.addCleanup(lambda: [os.close(fd) for fd in held])
        self.assertEqual(logfile("get_allRunFileList", "s", box_of("alice"), user="alice"), ([-1, []], None))
        self.assertLines(self.syslog.lines(), [re.compile(r"^get_allRunFileList\[312\] reply of \d+ bytes does "
                                               r"not fit in a bus message, caller uid 1001 answered -1$")])
        # The daemon kept its name and serves the next call.
        self.assertEqual(logfile("get_certificationInterval", "s", "bob", user="bob"), ([600], None))

    def test_long_refused_argument_leaves_one_shortened_line(self):
        # Escaped, the whole path would make a line of some 240 KB: more than
        # the log socket takes in one datagram.
        path = "/home/alice/.box/" + "\x01" * 60000
        self.assertEqual(logfile("kill_allProcessSignal", "s", path, user="bob"), ([-1], None))
        self.assertEqual(self.syslog.lines(), [
            "kill_allProcessSignal[64] refused: caller uid 1002 for path /home/alice/.box/"
            + "\\x01" * 4079 + "... (60017 bytes in all) outside its box"])

    def test_callers_gone_mid_call_or_before_being_asked_about(self):
        box = box_of("alice")
        holder = self.hold(make_tree(box, ["kept"], user="alice"), user="alice")
        for command in (["files", box], ["kill", box_of("bob")], ["backup-list"], ["backup-format", "x"]):
            self.assertEqual(run([TESTCLIENT, "--no-reply"] + command).returncode, 0)
        os.kill(self.daemon.pid, signal.SIGSTOP)
        done = [run([TESTCLIENT, "--no-reply", c, box], user="alice").returncode for c in ("kill", "files")]
        os.kill(self.daemon.pid, signal.SIGCONT)
        self.assertEqual(done, [0, 0])
        self.assertEqual(logfile("get_certificationInterval", "s", "x"), ([600], None))
        # Nobody could be named, so nothing was done for the missing caller.
        self.assertTrue(holder.alive())

    def test_holders_ending_and_box_roots_vanishing_while_scanned(self):
        box = box_of("root")
        files = [f"{box}/a/f{i}" for i in range(10)]

        def holders_come_and_go():
            with contextlib.suppress(AssertionError):  # killed before it said it was ready: what this test provokes
                Holder(files, create=True).stop()

        def box_comes_and_goes():
            subprocess.run(["rm", "-rf", box], stderr=subprocess.DEVNULL)
            with contextlib.suppress(OSError):  # another worker removed it again
                os.makedirs(box + "/a", exist_ok=True)
                holders_come_and_go()

        # A holder gone between scan and signal is no failure of the kill.
        for method, churn, answers in (("kill_allProcessSignal", holders_come_and_go, ([0],)),
                                       ("get_allRunFileList", box_comes_and_goes, (0, -1))):
            stop = threading.Event()
            workers = [threading.Thread(target=lambda: [churn() for _ in iter(stop.is_set, True)])
                       for _ in range(3)]
            [w.start() for w in workers]
            try:
                for _ in range(150):
                    data, error = logfile(method, "s", box)
                    self.assertIsNone(error)
                    self.assertIn(data if method.startswith("kill") else data[0], answers)
            finally:
                stop.set()
                [w.join() for w in workers]
        os.makedirs(box, exist_ok=True)
        self.assertEqual(logfile("get_certificationInterval", "s", "x"), ([600], None))
