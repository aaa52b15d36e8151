# SPDX-License-Identifier: GPL-2.0-or-later
"""Who holds a box: the holder records of /activity against the listing and
what ps shows each caller, and arkvanectl who."""

from harness import *

CTL = public_copy("ARKVANECTL")
SH, HOLDER_EXE = os.path.realpath(shutil.which("sh")), os.path.realpath(HOLDER)
HOLD_RW = 'exec 3<"$1" 4>>"$2" 5<>"$3"; echo ready; read x'  # one process: r, w and rw


def stat_field(pid, field):  # the /proc/PID/stat field, counted from 3 (the state)
    return pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[field - 3]


def started(pid):
    return int(stat_field(pid, 22)) * 10**9 // os.sysconf("SC_CLK_TCK")


class Holders(DaemonTestCase):
    def test_records_match_the_listing_and_what_ps_shows_the_caller(self):
        r, w, rw = make_tree(box_of("alice"), ["r", "docs/w", "rw"], user="alice")
        own = self.hold([], user="alice", argv=["sh", "-c", HOLD_RW, "sh", r, w, rw]).pid
        roots = self.hold([r]).pid
        mine = [own, started(own), 1001, "sh", SH, [["r", "r"], ["docs/w", "w"], ["rw", "rw"]]]
        for user, box, result, expected in (
                ("alice", box_of("alice"), 0, [mine, [roots, started(roots), 0, "arkvane-holder", "", [["r", "r"]]]]),
                ("root", box_of("alice") + "/", 0,
                 [mine, [roots, started(roots), 0, "arkvane-holder", HOLDER_EXE, [["r", "r"]]]]),
                ("root", box_of("bob"), 0, []),
                ("bob", box_of("alice"), -1, [])):
            with self.subTest(user=user, box=box):
                (got_result, got), error = call("/activity", ACTIVITY_IFACE, "get_boxHolders", "s", box, user=user)
                self.assertEqual((got_result, sorted(got), error), (result, sorted(expected), None))
                listed = self.files(box, user=user)[1] if result == 0 else []
                self.assertEqual(sorted({f for h in got for f, _ in h[5]}), sorted(r for _, r in listed))
                for pid, _, _, name, exe, _ in got:  # as ps and readlink show them to the caller
                    self.assertEqual([name, exe], [run(argv, user=user).stdout.strip() for argv in (
                        ["ps", "-o", "comm=", "-p", str(pid)], ["readlink", f"/proc/{pid}/exe"])])
        self.assertIn("get_boxHolders[501] refused: caller uid 1002 for path /home/alice/.box outside its box",
                      self.syslog.lines())

    def test_a_holder_whose_processes_end_as_it_is_read_is_still_named(self):
        for flag in ("-x", "-f"):  # its leader exits, a thread holds on; forks without pause
            with self.subTest(flag=flag):
                (path,) = make_tree(box_of("alice"), [flag], user="alice")
                holder = Holder([flag, path], user="alice")
                while flag == "-x" and stat_field(holder.pid, 3) != "Z":
                    pass  # the leader has exited
                (result, got), _ = call("/activity", ACTIVITY_IFACE, "get_boxHolders", "s", box_of("alice"), user="alice")
                holder.stop()
                expected = {(1001, "arkvane-holder", HOLDER_EXE, str([[flag, "r"]]))}
                # A walk may find no process of the chain alive; none is given half read.
                seen = {(h[2], h[3], h[4], str(h[5])) for h in got} | (expected if flag == "-f" else set())
                self.assertEqual((result, seen), (0, expected))

    def test_who_in_a_pipe_and_as_json(self):
        (a,) = make_tree(box_of("alice"), ["a\tb"], user="alice")
        pid = self.hold([a], user="alice").pid
        for args, parse, expected in (
                (["who"], str, f"{pid}\t1001\tarkvane-holder\t{HOLDER_EXE}\tr:a\\tb\n"),
                (["who", "--json", box_of("alice")], json.loads,
                 [{"pid": pid, "startTime": started(pid), "uid": 1001, "name": "arkvane-holder",
                   "executable": HOLDER_EXE, "files": [{"path": "a\tb", "mode": "r"}]}])):
            with self.subTest(args=args):
                done = run([CTL] + args, user="alice", stdin=subprocess.DEVNULL)
                self.assertEqual((done.returncode, done.stderr, parse(done.stdout)), (0, "", expected))
